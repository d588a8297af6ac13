#include "app/InstallLogFile.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>

#include <algorithm>

namespace orvane {

namespace {

const QByteArray Utf8Bom("\xEF\xBB\xBF", 3);

bool IsAscii(const QString& AText) {
    return std::all_of(AText.cbegin(), AText.cend(),
                       [](QChar AChar) { return AChar.unicode() < 0x80; });
}

bool StartsWithBom(QFile& AFile) {
    if (!AFile.open(QIODevice::ReadOnly))
        return false;
    const bool Result = AFile.read(3) == Utf8Bom;
    AFile.close();
    return Result;
}

bool AppendBytes(const QString& APath, const QByteArray& ABytes) {
    QFile File(APath);
    if (!File.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const bool Written = File.write(ABytes) == ABytes.size();
    return File.flush() && Written;
}

// Rewrites the single-byte file as UTF-8 with a mark in front, followed by the
// new entry, in one replacement through a temporary file. Never in place: a
// rewrite that fails midway would lose every earlier entry. Without a
// temporary file (or when it cannot take the file's place) the old file stays
// as it is and the entry is appended in the old encoding; characters that
// encoding lacks become "?".
bool ConvertToUtf8(const QString& APath, const QString& AEntry,
                   QStringConverter::Encoding ALegacyEncoding) {
    QByteArray LOld;
    {
        QFile LFile(APath);
        if (LFile.exists()) {
            if (!LFile.open(QIODevice::ReadOnly))
                return false;
            LOld = LFile.readAll();
        }
    }
    QStringDecoder LDecode(ALegacyEncoding);
    const QString LContent = LDecode(LOld);
    QSaveFile LFile(APath);
    if (LFile.open(QIODevice::WriteOnly)) {
        LFile.write(Utf8Bom);
        LFile.write(LContent.toUtf8());
        LFile.write(AEntry.toUtf8());
        if (LFile.commit())
            return true;
    }
    QStringEncoder LEncode(ALegacyEncoding);
    return AppendBytes(APath, LEncode(AEntry));
}

} // namespace

bool AppendLogEntry(const QString& AFile, const QString& AEntry,
                    QStringConverter::Encoding ALegacyEncoding) {
    QFile Probe(AFile);
    if (Probe.exists() && StartsWithBom(Probe))
        return AppendBytes(AFile, AEntry.toUtf8());
    if (IsAscii(AEntry))
        return AppendBytes(AFile, AEntry.toLatin1());
    return ConvertToUtf8(AFile, AEntry, ALegacyEncoding);
}

QString FormatLogEntry(const QDateTime& ATime, const QString& AMessage) {
    return QStringLiteral("<%1> %2\r\n")
        .arg(ATime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), AMessage);
}

} // namespace orvane
