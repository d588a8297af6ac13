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
// new entry, in one replacement so a failure leaves the old file as it was.
bool ConvertToUtf8(const QString& APath, const QString& AEntry,
                   QStringConverter::Encoding ALegacyEncoding) {
    QByteArray Old;
    {
        QFile File(APath);
        if (File.exists()) {
            if (!File.open(QIODevice::ReadOnly))
                return false;
            Old = File.readAll();
        }
    }
    QStringDecoder Decode(ALegacyEncoding);
    const QString Content = Decode(Old);
    QSaveFile File(APath);
    File.setDirectWriteFallback(true);
    if (!File.open(QIODevice::WriteOnly))
        return false;
    File.write(Utf8Bom);
    File.write(Content.toUtf8());
    File.write(AEntry.toUtf8());
    return File.commit();
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
