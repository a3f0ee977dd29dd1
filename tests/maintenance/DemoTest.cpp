// The demo folder generator: its own folders only, determinism, its faults as the copy meets them.
#include "Fixtures.h"
#include "maintenance/DatabaseCopy.h"

#include <QProcess>
#include <filesystem>
#include <map>
#include <regex>

#ifdef K5_DEMO_TOOL

namespace fs = std::filesystem;
namespace k5::mtest {

std::pair<int, std::string> RunDemo(const QStringList& args) {
    QProcess p;
    p.start(QString::fromUtf8(K5_DEMO_TOOL), args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            p.readAllStandardError().toStdString()};
}

std::map<std::string, std::string> Files(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) out[fs::relative(e.path(), folder).string()] = ReadAll(e.path().string());
    return out;
}

int64_t Number(std::string text) {
    std::erase(text, ' ');
    return std::stoll(text);
}

using DemoTest = ContextFixture;

TEST_F(DemoTest, CopyGivesRowCountsAsTheProtocolSays) {
    const std::string folder = Path("demo"), target = folder + "/Korund5_Prophylaxis.mdb";
    int exitCode = -1;
    const std::string summary =
        Shell(std::string(K5_DEMO_TOOL) + " " + Quote(folder) + " --scale tiny --seed 11", &exitCode);
    ASSERT_EQ(exitCode, 0) << summary;
    state.mDataBaseFolder = folder + "/";
    EXPECT_FALSE(CopyDataBase(ctx, folder + "/Korund5.mdb", target, folder + "/Korund5_LastVer.mdb"));
    const std::string pane = Pane();

    // Every table's closing line gives the rows it put into the new file.
    const std::regex line(
        "Копирование таблицы (\\S+) (\\(записей: [0-9 ]+\\) завершено успешно \\(|завершено с "
        "ошибкой \\()скопировано записей: ([0-9 ]+)");
    std::map<std::string, int64_t> copied;
    for (std::sregex_iterator it(pane.begin(), pane.end(), line), end; it != end; ++it)
        copied[(*it)[1]] = Number((*it)[3]);
    EXPECT_GE(copied.size(), 30u) << pane;
    auto out = Open(target);
    EXPECT_EQ(out->IntegrityCheck(), "");
    for (const auto& [table, rows] : copied)
        EXPECT_EQ(Count(*out, table), rows) << table;

    std::smatch damaged;
    ASSERT_TRUE(std::regex_search(summary, damaged, std::regex("damaged: (\\S+) row ([0-9]+)"))) << summary;
    EXPECT_THAT(pane, AllOf(HasSubstr("Копирование таблицы " + damaged[1].str() + " (записей: "),
                            HasSubstr(" Поврежденная запись № " + damaged[2].str() + ".")));
}

// A folder it did not make stays as it is; one it made is made again, byte for byte the same
// from the same seed.
TEST(DemoTool, LeavesForeignFoldersAloneAndIsDeterministic) {
    QTemporaryDir dir;
    const std::string main = dir.path().toStdString() + "/Korund5.mdb";
    std::ofstream(main) << "not ours";
    const auto [code, err] = RunDemo({dir.path(), "--scale", "tiny", "--seed", "1"});
    EXPECT_EQ(code, 1);
    EXPECT_THAT(err, HasSubstr("not made by k5demo"));
    EXPECT_EQ(ReadAll(main), "not ours");
    const QString d = dir.filePath("x");
    ASSERT_EQ(RunDemo({d, "--scale", "tiny", "--seed", "1"}).first, 0);
    const auto first = Files(d.toStdString());
    ASSERT_EQ(RunDemo({d, "--scale", "tiny", "--seed", "1"}).first, 0);
    EXPECT_TRUE(Files(d.toStdString()) == first);
}

} // namespace k5::mtest

#endif
