#pragma once

#include "app/DialogService.h"
#include "app/Unit2.h"

#include <filesystem>
#include <memory>

// A main window whose registry store, install.log and backups all live in
// ADir, which talks to no server, and whose modal interaction goes to ADialogs.
std::unique_ptr<TForm2> MakeTestForm2(const std::filesystem::path& ADir,
                                      std::shared_ptr<TDialogService> ADialogs);
