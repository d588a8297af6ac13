// orvane-reg: import and export .reg files against the installer's registry
// store, to seed test and demo registries and to see what the installer did.

#include "registry/RegFile.h"
#include "registry/RegistryStore.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: orvane-reg [--store FILE] import FILE\n"
    "       orvane-reg [--store FILE] export KEY [FILE]\n"
    "\n"
    "import  applies a .reg file (REGEDIT4 or version 5.00, UTF-16LE or UTF-8)\n"
    "export  writes KEY (HKEY_CURRENT_USER\\... or HKCU\\...) with everything below\n"
    "        it as a .reg file (UTF-16LE, as regedit writes it), or as UTF-8 text\n"
    "        to standard output when FILE is left out\n"
    "\n"
    "--store FILE  the SQLite registry store to use (default: the current user's\n"
    "              store, ";

int Usage() {
#ifdef _WIN32
    std::cerr << kUsage << "HKEY_CURRENT_USER itself)\n";
#else
    std::cerr << kUsage << orvane::DefaultRegistryStorePath().string() << ")\n";
#endif
    return 2;
}

std::shared_ptr<orvane::TRegistryStore> OpenStore(const std::string& AStoreFile) {
    if (AStoreFile.empty()) {
        return orvane::OpenDefaultRegistryStore();
    }
#ifdef _WIN32
    throw std::runtime_error("--store is not available on Windows: the registry itself is used");
#else
    return orvane::OpenSqliteRegistryStore(AStoreFile);
#endif
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string storeFile;
    if (args.size() >= 2 && args[0] == "--store") {
        storeFile = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        return Usage();
    }
    try {
        if (args[0] == "import" && args.size() == 2) {
            auto store = OpenStore(storeFile);
            orvane::ImportRegFile(*store, args[1]);
            return 0;
        }
        if (args[0] == "export" && (args.size() == 2 || args.size() == 3)) {
            const std::string key = orvane::KeyBelowCurrentUser(args[1]);
            auto store = OpenStore(storeFile);
            const std::string text = orvane::ExportRegText(*store, key);
            if (args.size() == 2) {
                std::cout << text;
                return std::cout.good() ? 0 : 1;
            }
            // Like regedit's export, an existing file is replaced.
            std::ofstream out(args[2], std::ios::binary | std::ios::trunc);
            out << orvane::EncodeRegFileBytes(text);
            out.close();
            if (!out) {
                throw std::runtime_error(args[2] + ": cannot write the file");
            }
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << "orvane-reg: " << e.what() << "\n";
        return 1;
    }
    return Usage();
}
