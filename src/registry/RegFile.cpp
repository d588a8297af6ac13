#include "registry/RegFile.h"

#include "platform/FileNames.h"
#include "registry/RegText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace orvane {

namespace {

constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";
constexpr std::size_t kHexWrapColumn = 77;

// A stray CR (a CR LF file edited as LF, or the other way round) counts as blank.
bool IsBlank(char C) {
    return C == ' ' || C == '\t' || C == '\r';
}

std::string TrimRight(const std::string& AText) {
    std::size_t end = AText.size();
    while (end > 0 && IsBlank(AText[end - 1])) {
        --end;
    }
    return AText.substr(0, end);
}

std::string TrimLeft(const std::string& AText) {
    std::size_t start = 0;
    while (start < AText.size() && IsBlank(AText[start])) {
        ++start;
    }
    return AText.substr(start);
}

bool StartsWithNoCase(const std::string& AText, const std::string& APrefix) {
    if (AText.size() < APrefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < APrefix.size(); ++i) {
        char a = AText[i];
        char b = APrefix[i];
        if (a >= 'a' && a <= 'z') {
            a = static_cast<char>(a - 32);
        }
        if (b >= 'a' && b <= 'z') {
            b = static_cast<char>(b - 32);
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9') {
        return C - '0';
    }
    if (C >= 'a' && C <= 'f') {
        return C - 'a' + 10;
    }
    if (C >= 'A' && C <= 'F') {
        return C - 'A' + 10;
    }
    return -1;
}

// Text lines of the file, decoded to UTF-8, without line ends.
std::vector<std::string> DecodeLines(const std::string& ABytes) {
    std::string text;
    if (ABytes.size() >= 2 && static_cast<unsigned char>(ABytes[0]) == 0xFF &&
        static_cast<unsigned char>(ABytes[1]) == 0xFE) {
        if (ABytes.size() % 2 != 0) {
            throw ERegFileError(0, "the UTF-16 text has an odd number of bytes");
        }
        text = FromUtf16Le(reinterpret_cast<const std::uint8_t*>(ABytes.data()) + 2,
                           ABytes.size() - 2, false);
    } else if (ABytes.size() >= 2 && static_cast<unsigned char>(ABytes[0]) == 0xFE &&
               static_cast<unsigned char>(ABytes[1]) == 0xFF) {
        throw ERegFileError(1, "big-endian UTF-16 is not supported");
    } else if (ABytes.size() >= 3 && ABytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = ABytes.substr(3);
    } else {
        text = ABytes;
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        bool valid = true;
        DecodeUtf8(line, &valid);
        if (!valid) {
            throw ERegFileError(static_cast<int>(lines.size()) + 1, "the text is not valid UTF-8");
        }
        if (line.find('\0') != std::string::npos) {
            throw ERegFileError(static_cast<int>(lines.size()) + 1, "NUL character in the text");
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::string KeyPathFromHive(const std::string& AKey, int ALine) {
    const std::size_t slash = AKey.find('\\');
    const std::string hive = AKey.substr(0, slash);
    if (!SameName(hive, "HKEY_CURRENT_USER") && !SameName(hive, "HKCU")) {
        throw ERegFileError(ALine, "only keys under HKEY_CURRENT_USER are supported: " + AKey);
    }
    std::string rest = slash == std::string::npos ? std::string() : AKey.substr(slash + 1);
    while (!rest.empty() && rest.back() == '\\') {
        rest.pop_back();
    }
    if (!rest.empty() && (rest.front() == '\\' || rest.find("\\\\") != std::string::npos)) {
        throw ERegFileError(ALine, "empty key name in " + AKey);
    }
    return rest;
}

// Reads a quoted text starting at APos (on the opening quote); APos ends after
// the closing quote.
std::string ParseQuoted(const std::string& ALine, std::size_t& APos, int ALineNo) {
    std::string out;
    ++APos;
    while (APos < ALine.size()) {
        const char c = ALine[APos];
        if (c == '"') {
            ++APos;
            return out;
        }
        if (c == '\\') {
            if (APos + 1 >= ALine.size()) {
                break;
            }
            const char next = ALine[APos + 1];
            // regedit writes line breaks inside names and strings as \r and \n.
            if (next == 'r' || next == 'n') {
                out.push_back(next == 'r' ? '\r' : '\n');
            } else if (next == '\\' || next == '"') {
                out.push_back(next);
            } else {
                throw ERegFileError(ALineNo, std::string("unknown escape \\") + next);
            }
            APos += 2;
            continue;
        }
        out.push_back(c);
        ++APos;
    }
    throw ERegFileError(ALineNo, "missing closing quote");
}

void ExpectLineEnd(const std::string& ALine, std::size_t APos, int ALineNo) {
    if (!TrimLeft(ALine.substr(APos)).empty()) {
        throw ERegFileError(ALineNo, "unexpected text after the value: " + ALine.substr(APos));
    }
}

// Parses the bytes of hex data, following "\" continuation lines.
std::vector<std::uint8_t> ParseHexBytes(const std::vector<std::string>& ALines, std::size_t& AIndex,
                                        std::string AText) {
    std::vector<std::uint8_t> bytes;
    const int firstLine = static_cast<int>(AIndex) + 1;
    while (true) {
        const int lineNo = static_cast<int>(AIndex) + 1;
        std::string text = TrimRight(AText);
        const bool continued = !text.empty() && text.back() == '\\';
        if (continued) {
            text.pop_back();
        }
        std::size_t pos = 0;
        bool expectByte = true;
        while (pos < text.size()) {
            const char c = text[pos];
            if (IsBlank(c)) {
                ++pos;
                continue;
            }
            if (c == ',') {
                if (expectByte) {
                    throw ERegFileError(lineNo, "missing byte before ','");
                }
                expectByte = true;
                ++pos;
                continue;
            }
            const int high = HexDigit(c);
            if (high < 0 || !expectByte) {
                throw ERegFileError(lineNo, std::string("bad hex data at '") + c + "'");
            }
            int value = high;
            ++pos;
            if (pos < text.size() && HexDigit(text[pos]) >= 0) {
                value = value * 16 + HexDigit(text[pos]);
                ++pos;
            }
            if (pos < text.size() && HexDigit(text[pos]) >= 0) {
                throw ERegFileError(lineNo, "hex byte longer than two digits");
            }
            bytes.push_back(static_cast<std::uint8_t>(value));
            expectByte = false;
        }
        if (expectByte && !bytes.empty() && !continued) {
            throw ERegFileError(lineNo, "hex data ends with ','");
        }
        if (!continued) {
            break;
        }
        ++AIndex;
        if (AIndex >= ALines.size() || TrimRight(TrimLeft(ALines[AIndex])).empty()) {
            throw ERegFileError(firstLine, "hex data continues past the end of the value");
        }
        AText = TrimLeft(ALines[AIndex]);
    }
    return bytes;
}

bool IsTextType(std::uint32_t AType) {
    return AType == rtSz || AType == rtExpandSz || AType == rtMultiSz;
}

std::vector<std::uint8_t> AnsiToUtf16(const std::vector<std::uint8_t>& ABytes) {
    bool valid = true;
    const std::string text(ABytes.begin(), ABytes.end());
    DecodeUtf8(text, &valid);
    std::string utf8;
    if (valid) {
        utf8 = text;
    } else {
        for (unsigned char c : text) {
            AppendUtf8(utf8, c);
        }
    }
    // The NULs inside (terminators, multi-string separators) survive the
    // conversion because ToUtf16Le maps them one to one.
    return ToUtf16Le(utf8, false);
}

TRegFileValue ParseValueLine(const std::vector<std::string>& ALines, std::size_t& AIndex,
                             bool ARegedit4) {
    const std::string line = TrimLeft(ALines[AIndex]);
    const int lineNo = static_cast<int>(AIndex) + 1;
    TRegFileValue result;
    result.Line = lineNo;
    std::size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else {
        result.Value.Name = ParseQuoted(line, pos, lineNo);
    }
    while (pos < line.size() && IsBlank(line[pos])) {
        ++pos;
    }
    if (pos >= line.size() || line[pos] != '=') {
        throw ERegFileError(lineNo, "missing '=' after the value name");
    }
    ++pos;
    while (pos < line.size() && IsBlank(line[pos])) {
        ++pos;
    }
    const std::string data = line.substr(pos);
    if (TrimRight(data) == "-") {
        result.Delete = true;
        return result;
    }
    if (!data.empty() && data[0] == '"') {
        std::size_t p = 0;
        const std::string text = ParseQuoted(data, p, lineNo);
        ExpectLineEnd(data, p, lineNo);
        result.Value.Type = rtSz;
        result.Value.Data = ToUtf16Le(text, true);
        return result;
    }
    if (StartsWithNoCase(data, "dword:")) {
        const std::string digits = TrimRight(data.substr(6));
        if (digits.empty() || digits.size() > 8) {
            throw ERegFileError(lineNo, "dword needs one to eight hex digits");
        }
        std::uint32_t value = 0;
        for (char c : digits) {
            const int d = HexDigit(c);
            if (d < 0) {
                throw ERegFileError(lineNo, "bad dword digits: " + digits);
            }
            value = value * 16 + static_cast<std::uint32_t>(d);
        }
        result.Value.Type = rtDword;
        result.Value.Data = {
            static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
        return result;
    }
    if (StartsWithNoCase(data, "hex")) {
        std::size_t p = 3;
        std::uint32_t type = rtBinary;
        if (p < data.size() && data[p] == '(') {
            const std::size_t close = data.find(')', p);
            const std::string digits =
                close == std::string::npos ? std::string() : data.substr(p + 1, close - p - 1);
            if (digits.empty() || digits.size() > 8) {
                throw ERegFileError(lineNo, "bad value type in " + data.substr(0, close + 1));
            }
            type = 0;
            for (char c : digits) {
                const int d = HexDigit(c);
                if (d < 0) {
                    throw ERegFileError(lineNo, "bad value type: hex(" + digits + ")");
                }
                type = type * 16 + static_cast<std::uint32_t>(d);
            }
            p = close + 1;
        }
        if (p >= data.size() || data[p] != ':') {
            throw ERegFileError(lineNo, "missing ':' after hex");
        }
        result.Value.Type = static_cast<TRegValueType>(type);
        result.Value.Data = ParseHexBytes(ALines, AIndex, data.substr(p + 1));
        if (ARegedit4 && IsTextType(type)) {
            result.Value.Data = AnsiToUtf16(result.Value.Data);
        }
        return result;
    }
    throw ERegFileError(lineNo, "unrecognised value data: " + data);
}

// A raw line break would end the line; written as regedit writes it.
std::string Escape(const std::string& AText) {
    std::string out;
    for (char c : AText) {
        if (c == '\r' || c == '\n') {
            out += c == '\r' ? "\\r" : "\\n";
            continue;
        }
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

// A REG_SZ that a quoted string reproduces byte for byte.
bool IsPlainString(const TRegValue& AValue, std::string& AText) {
    const auto& d = AValue.Data;
    if (d.size() < 2 || d.size() % 2 != 0 || d[d.size() - 1] != 0 || d[d.size() - 2] != 0) {
        return false;
    }
    AText = FromUtf16Le(d.data(), d.size() - 2, false);
    if (AText.find('\0') != std::string::npos || AText.find('\r') != std::string::npos ||
        AText.find('\n') != std::string::npos) {
        return false;
    }
    return ToUtf16Le(AText, true) == d;
}

void AppendValue(std::string& AOut, const TRegValue& AValue) {
    std::string head = AValue.Name.empty() ? "@=" : "\"" + Escape(AValue.Name) + "\"=";
    std::string text;
    if (AValue.Type == rtSz && IsPlainString(AValue, text)) {
        AOut += head + "\"" + Escape(text) + "\"\r\n";
        return;
    }
    if (AValue.Type == rtDword && AValue.Data.size() == 4) {
        const std::uint32_t v = AValue.Data[0] | (AValue.Data[1] << 8) | (AValue.Data[2] << 16) |
                                (std::uint32_t(AValue.Data[3]) << 24);
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "dword:%08x", v);
        AOut += head + buffer + "\r\n";
        return;
    }
    char prefix[24];
    if (AValue.Type == rtBinary) {
        std::snprintf(prefix, sizeof prefix, "hex:");
    } else {
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(AValue.Type));
    }
    // Column counting as regedit does it: in UTF-16 characters.
    std::size_t column = DecodeUtf8(head).size() + std::strlen(prefix);
    AOut += head + prefix;
    const auto& d = AValue.Data;
    for (std::size_t i = 0; i < d.size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", d[i]);
        AOut += pair;
        if (i + 1 == d.size()) {
            break;
        }
        AOut += ',';
        column += 3;
        if (column >= kHexWrapColumn) {
            AOut += "\\\r\n  ";
            column = 2;
        }
    }
    AOut += "\r\n";
}

void AppendKey(std::string& AOut, TRegistryStore& AStore, const std::string& APath) {
    AOut += "[HKEY_CURRENT_USER" + (APath.empty() ? std::string() : "\\" + APath) + "]\r\n";
    // Throws for a key or value it cannot read: an export that leaves something
    // out would pass for a whole one.
    for (const auto& value : AStore.Values(APath)) {
        AppendValue(AOut, value);
    }
    AOut += "\r\n";
    for (const auto& sub : AStore.SubKeyNames(APath)) {
        AppendKey(AOut, AStore, APath.empty() ? sub : APath + "\\" + sub);
    }
}

} // namespace

std::vector<TRegFileKey> ParseRegFile(const std::string& ABytes) {
    const auto lines = DecodeLines(ABytes);
    std::vector<TRegFileKey> keys;
    std::size_t i = 0;
    while (i < lines.size() && TrimRight(TrimLeft(lines[i])).empty()) {
        ++i;
    }
    if (i >= lines.size()) {
        throw ERegFileError(1, "empty file; expected \"" + std::string(kHeader5) + "\"");
    }
    const std::string header = TrimRight(lines[i]);
    bool regedit4 = false;
    if (header == kHeader4) {
        regedit4 = true;
    } else if (header != kHeader5) {
        throw ERegFileError(static_cast<int>(i) + 1,
                            "expected \"" + std::string(kHeader5) + "\" or \"REGEDIT4\"");
    }
    for (++i; i < lines.size(); ++i) {
        const int lineNo = static_cast<int>(i) + 1;
        const std::string line = TrimRight(TrimLeft(lines[i]));
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3) {
                throw ERegFileError(lineNo, "key line must be [KEY]: " + line);
            }
            TRegFileKey key;
            key.Line = lineNo;
            std::string name = line.substr(1, line.size() - 2);
            if (name[0] == '-') {
                key.Delete = true;
                name.erase(0, 1);
            }
            key.Path = KeyPathFromHive(name, lineNo);
            if (key.Delete && key.Path.empty()) {
                throw ERegFileError(lineNo, "the hive itself cannot be deleted");
            }
            keys.push_back(std::move(key));
            continue;
        }
        if (line[0] == '"' || line[0] == '@') {
            if (keys.empty()) {
                throw ERegFileError(lineNo, "value before the first key");
            }
            if (keys.back().Delete) {
                throw ERegFileError(lineNo, "value inside a key that is being deleted");
            }
            keys.back().Values.push_back(ParseValueLine(lines, i, regedit4));
            continue;
        }
        throw ERegFileError(lineNo, "unrecognised line: " + line);
    }
    return keys;
}

void ApplyRegFile(TRegistryStore& AStore, const std::vector<TRegFileKey>& AKeys) {
    for (const auto& key : AKeys) {
        if (key.Delete) {
            AStore.DeleteKey(key.Path);
            continue;
        }
        if (!AStore.CreateKey(key.Path)) {
            throw ERegFileError(key.Line, "cannot create key HKEY_CURRENT_USER\\" + key.Path);
        }
        for (const auto& value : key.Values) {
            if (value.Delete) {
                AStore.DeleteValue(key.Path, value.Value.Name);
            } else if (!AStore.SetValue(key.Path, value.Value)) {
                throw ERegFileError(value.Line, "cannot set value \"" + value.Value.Name + "\"");
            }
        }
    }
}

void ImportRegFile(TRegistryStore& AStore, const std::filesystem::path& AFile) {
    std::ifstream in(AFile, std::ios::binary);
    if (!in) {
        throw std::runtime_error(Utf8FromPath(AFile) + ": cannot open the file");
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        ApplyRegFile(AStore, ParseRegFile(bytes));
    } catch (const ERegFileError& e) {
        throw ERegFileError(e.Line(), e.Message(), Utf8FromPath(AFile));
    }
}

std::string ExportRegText(TRegistryStore& AStore, const std::string& AKey) {
    // Walk down from the root so the key lines carry the stored letter case.
    std::string path;
    if (!AKey.empty()) {
        std::size_t start = 0;
        while (start <= AKey.size()) {
            std::size_t end = AKey.find('\\', start);
            if (end == std::string::npos) {
                end = AKey.size();
            }
            const std::string part = AKey.substr(start, end - start);
            std::string found;
            for (const auto& name : AStore.SubKeyNames(path)) {
                if (SameName(name, part)) {
                    found = name;
                    break;
                }
            }
            if (found.empty()) {
                throw std::runtime_error("key not found: HKEY_CURRENT_USER\\" + AKey);
            }
            path = path.empty() ? found : path + "\\" + found;
            start = end + 1;
        }
    }
    std::string out = std::string(kHeader5) + "\r\n\r\n";
    AppendKey(out, AStore, path);
    return out;
}

std::string RegValueText(const TRegValue& AValue) {
    std::string out;
    AppendValue(out, AValue);
    return out;
}

std::string RegDeleteValueText(const std::string& AName) {
    return (AName.empty() ? std::string("@") : "\"" + Escape(AName) + "\"") + "=-\r\n";
}

std::string EncodeRegFileBytes(const std::string& AText) {
    const auto utf16 = ToUtf16Le(AText, false);
    std::string bytes("\xFF\xFE");
    bytes.append(utf16.begin(), utf16.end());
    return bytes;
}

bool WriteNewRegFile(const std::filesystem::path& AFile, const std::string& AText,
                     std::string& AError) {
    const std::string bytes = EncodeRegFileBytes(AText);
#ifdef _WIN32
    const int fd =
        _wopen(AFile.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = ::open(AFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
#endif
    if (fd < 0) {
        AError = std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (done < bytes.size()) {
#ifdef _WIN32
        const int n = _write(fd, bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
#else
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
#endif
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            AError = std::strerror(errno);
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
#ifdef _WIN32
    if (_close(fd) != 0 && ok) {
#else
    if (::close(fd) != 0 && ok) {
#endif
        AError = std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        std::error_code ec;
        std::filesystem::remove(AFile, ec);
    }
    return ok;
}

std::string KeyBelowCurrentUser(const std::string& AKey) {
    const std::string hive = AKey.substr(0, AKey.find('\\'));
    if (StartsWithNoCase(hive, "HKEY_") || SameName(hive, "HKLM") || SameName(hive, "HKCR") ||
        SameName(hive, "HKU") || SameName(hive, "HKCC") || SameName(hive, "HKCU")) {
        return KeyPathFromHive(AKey, 0);
    }
    std::string rest = AKey;
    while (!rest.empty() && rest.front() == '\\') {
        rest.erase(0, 1);
    }
    while (!rest.empty() && rest.back() == '\\') {
        rest.pop_back();
    }
    return rest;
}

} // namespace orvane
