#pragma once

#include <QDateTime>
#include <QString>
#include <QStringConverter>

namespace orvane {

// Appends one finished entry to the log file, creating the file when missing.
// The file stays single-byte text while every entry is ASCII. The first entry
// holding anything else turns it into UTF-8: the existing content is decoded
// from ALegacyEncoding (the system's ANSI code page / locale charset), the file
// is rewritten with a UTF-8 byte-order mark, and the entry is appended in
// UTF-8. The rewrite goes through a temporary file; where none can be made the
// old file is kept as it is and the entry appended in ALegacyEncoding ("?" for
// what it lacks), so the history is never at risk. A file that already begins
// with the mark gets UTF-8 appends. No handle is kept. Returns false when the
// entry could not be written.
bool AppendLogEntry(const QString& AFile, const QString& AEntry,
                    QStringConverter::Encoding ALegacyEncoding = QStringConverter::System);

// "<yyyy-mm-dd hh:nn:ss.zzz> message\r\n" for the given local time.
QString FormatLogEntry(const QDateTime& ATime, const QString& AMessage);

} // namespace orvane
