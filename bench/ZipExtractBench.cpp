// Generates a package-sized zip, or extracts one with the installer's zip reader.
//   bench_zip_extract generate <zip> <total MiB> <files>
//   bench_zip_extract extract <zip> <folder> [threads]   (0 or none: one per core)
#include "PackageZip.h"
#include "install/ZipReader.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

int main(int AArgc, char** AArgv) {
    try {
        const std::string LCommand = AArgc > 1 ? AArgv[1] : "";
        if (LCommand == "generate" && AArgc == 5) {
            WritePackageZip(AArgv[2], std::strtoull(AArgv[3], nullptr, 10) * 1024 * 1024,
                            std::strtoull(AArgv[4], nullptr, 10));
            return 0;
        }
        if (LCommand == "extract" && (AArgc == 4 || AArgc == 5)) {
            orvane::TZipReader LZip(AArgv[2]);
            if (AArgc == 5) {
                LZip.SetThreadCount(static_cast<unsigned>(std::strtoul(AArgv[4], nullptr, 10)));
            }
            LZip.ExtractAll(AArgv[3]);
            return 0;
        }
        std::fprintf(stderr,
                     "usage: %s generate <zip> <MiB> <files> | extract <zip> <folder> [threads]\n",
                     AArgv[0]);
        return 2;
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "%s\n", AError.what());
        return 1;
    }
}
