#include "app/InstallLogFile.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <optional>
#include <unistd.h>

namespace {

QByteArray ReadAll(const QString& APath) {
    QFile File(APath);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

void WriteAll(const QString& APath, const QByteArray& ABytes) {
    QFile File(APath);
    ASSERT_TRUE(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(File.write(ABytes), ABytes.size());
}

const QByteArray Bom("\xEF\xBB\xBF", 3);
const QString AUmlaut = QString(QChar(0x00E4));
const QString Euro = QString(QChar(0x20AC));

struct TAppendCase {
    const char* Name;
    std::optional<QByteArray> Before; // nullopt: no file yet
    QString Entry;
    QByteArray After;
};

class AppendLogEntryTest : public testing::TestWithParam<TAppendCase> {};

TEST_P(AppendLogEntryTest, WritesTheExpectedBytes) {
    const TAppendCase& Case = GetParam();
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    const QString Path = Dir.filePath(QStringLiteral("install.log"));
    if (Case.Before)
        WriteAll(Path, *Case.Before);

    EXPECT_TRUE(orvane::AppendLogEntry(Path, Case.Entry, QStringConverter::Latin1));

    EXPECT_EQ(ReadAll(Path), Case.After);
}

// The earlier content in the conversion cases is Latin-1 (0xE4 is an a-umlaut),
// as a single-byte log written under a Western code page would hold it.
INSTANTIATE_TEST_SUITE_P(
    Cases, AppendLogEntryTest,
    testing::Values(
        TAppendCase{"AsciiCreatesFile", std::nullopt, "<t> one\r\n", "<t> one\r\n"},
        TAppendCase{"AsciiAppendsAsIs", QByteArray("<t> one\r\n"), "<t> two\r\n",
                    "<t> one\r\n<t> two\r\n"},
        TAppendCase{"AsciiKeepsSingleByteContent", QByteArray("<t> C:\\Tmp\\\xE4\r\n"),
                    "<t> two\r\n", QByteArray("<t> C:\\Tmp\\\xE4\r\n<t> two\r\n")},
        TAppendCase{"NonAsciiConvertsEarlierEntries", QByteArray("<t> one \xE4\r\n<t> two\r\n"),
                    "<t> " + AUmlaut + Euro + "\r\n",
                    Bom +
                        QByteArray("<t> one \xC3\xA4\r\n<t> two\r\n<t> \xC3\xA4\xE2\x82\xAC\r\n")},
        TAppendCase{"NonAsciiIntoMissingFile", std::nullopt, "<t> " + Euro + "\r\n",
                    Bom + QByteArray("<t> \xE2\x82\xAC\r\n")},
        TAppendCase{"NonAsciiIntoEmptyFile", QByteArray(), "<t> " + AUmlaut + "\r\n",
                    Bom + QByteArray("<t> \xC3\xA4\r\n")},
        TAppendCase{"MarkedFileGetsUtf8", Bom + QByteArray("<t> \xC3\xA4\r\n"),
                    "<t> " + Euro + "\r\n",
                    Bom + QByteArray("<t> \xC3\xA4\r\n<t> \xE2\x82\xAC\r\n")},
        TAppendCase{"MarkedFileGetsAsciiAsIs", Bom + QByteArray("<t> \xC3\xA4\r\n"), "<t> x\r\n",
                    Bom + QByteArray("<t> \xC3\xA4\r\n<t> x\r\n")}),
    [](const testing::TestParamInfo<TAppendCase>& AInfo) { return AInfo.param.Name; });

TEST(AppendLogEntry, LaterEntriesFollowTheConvertedContent) {
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("install.log"));
    WriteAll(Path, "<t> \xE4\r\n");
    ASSERT_TRUE(orvane::AppendLogEntry(Path, "<t> " + AUmlaut + "\r\n", QStringConverter::Latin1));
    // The file is UTF-8 now: a second Latin-1 interpretation must not happen.
    ASSERT_TRUE(orvane::AppendLogEntry(Path, "<t> " + AUmlaut + "\r\n", QStringConverter::Latin1));
    ASSERT_TRUE(orvane::AppendLogEntry(Path, "<t> end\r\n", QStringConverter::Latin1));
    EXPECT_EQ(ReadAll(Path),
              Bom + QByteArray("<t> \xC3\xA4\r\n<t> \xC3\xA4\r\n<t> \xC3\xA4\r\n<t> end\r\n"));
}

TEST(AppendLogEntry, UnwritablePlacesFailQuietly) {
    QTemporaryDir Dir;
    // A folder where the file should be, and a folder that does not exist.
    ASSERT_TRUE(QDir(Dir.path()).mkdir(QStringLiteral("install.log")));
    const QStringList Paths = {Dir.filePath(QStringLiteral("install.log")),
                               Dir.filePath(QStringLiteral("missing/install.log"))};
    for (const QString& Path : Paths) {
        SCOPED_TRACE(Path.toStdString());
        EXPECT_FALSE(orvane::AppendLogEntry(Path, QStringLiteral("<t> a\r\n")));
        EXPECT_FALSE(orvane::AppendLogEntry(Path, "<t> " + AUmlaut + "\r\n"));
    }
    EXPECT_FALSE(QFile::exists(Dir.filePath(QStringLiteral("missing/install.log"))));
}

TEST(AppendLogEntry, ReadOnlyFileIsLeftAsItWas) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes to read-only files";
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("install.log"));
    WriteAll(Path, "<t> \xE4\r\n");
    QFile::setPermissions(Path, QFileDevice::ReadOwner);
    EXPECT_FALSE(orvane::AppendLogEntry(Path, QStringLiteral("<t> a\r\n")));
    EXPECT_FALSE(orvane::AppendLogEntry(Path, "<t> " + AUmlaut + "\r\n", QStringConverter::Latin1));
    EXPECT_EQ(ReadAll(Path), QByteArray("<t> \xE4\r\n"));
}

// Where no temporary file can be made beside the log, the conversion must not
// rewrite the log in place (a failure midway would lose its history): the old
// bytes stay and the entry follows in the old encoding. A name of 250 bytes is
// still a valid file name, but its temporary sibling ("<name>.XXXXXX") is too
// long for the file system, whoever runs the test (permissions do not stop root).
TEST(AppendLogEntry, WithoutATemporaryFileTheOldContentStaysAndTheEntryIsAppendedInItsEncoding) {
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    const QString Path = Dir.filePath(QString(246, QLatin1Char('l')) + QStringLiteral(".log"));
    const QByteArray History("<t> C:\\Tmp\\\xE4\r\n<t> two\r\n");
    WriteAll(Path, History);

    EXPECT_TRUE(
        orvane::AppendLogEntry(Path, "<t> " + AUmlaut + Euro + "\r\n", QStringConverter::Latin1));
    EXPECT_EQ(ReadAll(Path), History + QByteArray("<t> \xE4?\r\n"));
    // Still single-byte: a later ASCII entry follows as it is.
    EXPECT_TRUE(
        orvane::AppendLogEntry(Path, QStringLiteral("<t> end\r\n"), QStringConverter::Latin1));
    EXPECT_EQ(ReadAll(Path), History + QByteArray("<t> \xE4?\r\n<t> end\r\n"));
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST(FormatLogEntry, StampsLocalTimeWithMilliseconds) {
    const QDateTime Time(QDate(2024, 4, 8), QTime(19, 38, 3, 120));
    struct {
        QString Message;
        QString Entry;
    } const Cases[] = {
        {QStringLiteral("Downloading"),
         QStringLiteral("<2024-04-08 19:38:03.120> Downloading\r\n")},
        {QString(), QStringLiteral("<2024-04-08 19:38:03.120> \r\n")},
        {QStringLiteral("a\r\nb"), QStringLiteral("<2024-04-08 19:38:03.120> a\r\nb\r\n")},
        {QStringLiteral("100% of %1 <ERROR>"),
         QStringLiteral("<2024-04-08 19:38:03.120> 100% of %1 <ERROR>\r\n")},
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(orvane::FormatLogEntry(Time, Case.Message), Case.Entry);
    EXPECT_EQ(orvane::FormatLogEntry(QDateTime(QDate(2025, 1, 2), QTime(3, 4, 5, 6)), "x"),
              QStringLiteral("<2025-01-02 03:04:05.006> x\r\n"));
}

} // namespace
