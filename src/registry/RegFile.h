#pragma once

#include "registry/RegistryStore.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

// Reader and writer of regedit's .reg text files (REGEDIT4 and version 5.00),
// limited to HKEY_CURRENT_USER, the only hive the installer touches.

class ERegFileError : public std::runtime_error {
public:
    ERegFileError(int ALine, const std::string& AMessage, const std::string& AFile = {})
        : std::runtime_error((AFile.empty() ? std::string() : AFile + ", ") +
                             (ALine > 0 ? "line " + std::to_string(ALine) + ": " : std::string()) +
                             AMessage),
          FLine(ALine), FMessage(AMessage) {}
    // 1-based line of the offending text; 0 when the file as a whole is at fault.
    int Line() const { return FLine; }
    // The message without file and line.
    const std::string& Message() const { return FMessage; }

private:
    int FLine;
    std::string FMessage;
};

struct TRegFileValue {
    TRegValue Value;
    bool Delete = false; // "name"=-
    int Line = 0;
};

struct TRegFileKey {
    std::string Path;    // below HKEY_CURRENT_USER, no leading or trailing "\"
    bool Delete = false; // [-KEY]
    std::vector<TRegFileValue> Values;
    int Line = 0;
};

// Parses a whole file (UTF-16LE with BOM, or UTF-8/ASCII with or without BOM).
// Throws ERegFileError naming the line for anything it does not understand.
std::vector<TRegFileKey> ParseRegFile(const std::string& ABytes);

// Applies parsed keys in file order: creates keys, sets and deletes values,
// deletes keys with everything below them.
void ApplyRegFile(TRegistryStore& AStore, const std::vector<TRegFileKey>& AKeys);

// Reads, parses and applies a file. Nothing is applied when the file does not
// parse; errors name the file and the line.
void ImportRegFile(TRegistryStore& AStore, const std::filesystem::path& AFile);

// The key with everything below it as .reg text (version 5.00, CRLF lines,
// UTF-8 in memory), in the store's enumeration order, hex data wrapped at 80
// columns as regedit wraps it. Throws std::runtime_error when the key is missing
// and ERegistryStoreError when a key or value below it cannot be read.
std::string ExportRegText(TRegistryStore& AStore, const std::string& AKey);

// One value as .reg text, CR LF ended (hex data over several lines). Names and
// strings are written so that this program's import and regedit read them
// back exactly: line breaks as \r and \n, strings that a quoted text would
// not reproduce byte for byte as hex.
std::string RegValueText(const TRegValue& AValue);
// The line that deletes the value AName ("name"=-, @=- for the default value).
std::string RegDeleteValueText(const std::string& AName);

// The file bytes regedit writes for AText: UTF-16LE with a byte-order mark.
std::string EncodeRegFileBytes(const std::string& AText);

// Writes AText as a new file (never over an existing one); false with AError on failure.
bool WriteNewRegFile(const std::filesystem::path& AFile, const std::string& AText,
                     std::string& AError);

// "HKEY_CURRENT_USER\A\B", "HKCU\A\B" or "A\B" -> "A\B". Throws ERegFileError
// (line 0) for a key of another hive.
std::string KeyBelowCurrentUser(const std::string& AKey);

} // namespace orvane
