#include "support/TestForm.h"

#include "registry/RegistryStore.h"

std::unique_ptr<TForm2> MakeTestForm2(const std::filesystem::path& ADir,
                                      std::shared_ptr<TDialogService> ADialogs) {
    TForm2Options Options;
    // Nothing listens on port 1: a download fails at once, locally.
    Options.ApiUrl = "http://127.0.0.1:1";
    Options.ExeDir = ADir;
    Options.RegistryStore = orvane::OpenSqliteRegistryStore(ADir / "registry.sqlite");
    Options.Dialogs = std::move(ADialogs);
    return std::make_unique<TForm2>(std::move(Options));
}
