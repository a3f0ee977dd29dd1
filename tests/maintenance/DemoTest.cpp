// The demo database folder generator: arguments, determinism, the planted faults as the copy
// and the clean-up meet them.
#include "Fixtures.h"
#include "maintenance/DatabaseCopy.h"
#include "maintenance/OrphanCleanup.h"

#include <QProcess>
#include <filesystem>
#include <map>
#include <regex>

#ifdef K5_DEMO_TOOL

using namespace k5;
using namespace k5::mtest;
namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exit = -1;
    std::string err;
};

RunResult RunDemo(const QStringList& args) {
    QProcess p;
    p.start(QString::fromUtf8(K5_DEMO_TOOL), args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            p.readAllStandardError().toStdString()};
}

// Every file under a folder with its bytes.
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

// Determinism, and a reference that carries every kind of property the structure copy moves.
TEST_F(DemoTest, SameSeedGivesTheSameFilesAndTheReferenceHasEveryCopiedProperty) {
    for (const char* name : {"a", "b", "c"})
        ASSERT_EQ(RunDemo({QString::fromStdString(Path(name)), "--scale", "tiny", "--seed",
                           *name == 'c' ? "8" : "7"})
                      .exit,
                  0);
    const auto a = Files(Path("a")), b = Files(Path("b")), c = Files(Path("c"));
    EXPECT_GT(a.size(), 5u);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a.at("Korund5.mdb") == c.at("Korund5.mdb"));

    auto ref = Open(Path("a/Korund5_LastVer.mdb"));
    bool descending = false, autoIncrement = false, required = false, defaults = false;
    for (const auto& name : ref->TableNames()) {
        const db::TableDef def = ref->GetTableDef(name);
        for (const auto& ix : def.Indexes)
            for (const auto& f : ix.Fields)
                descending |= (f.Attributes & db::dbDescending) != 0;
        for (const auto& f : def.Fields) {
            autoIncrement |= (f.Attributes & db::dbAutoIncrField) != 0;
            required |= f.Required;
            defaults |= !IsNull(f.DefaultValue);
        }
    }
    EXPECT_TRUE(descending && autoIncrement && required && defaults);
}

TEST_F(DemoTest, CopyGivesRowCountsAsTheProtocolSaysAndTheCleanUpFindsTheOrphans) {
    const std::string folder = Path("demo");
    int exitCode = -1;
    const std::string summary =
        Shell(std::string(K5_DEMO_TOOL) + " " + Quote(folder) + " --scale tiny --seed 11", &exitCode);
    ASSERT_EQ(exitCode, 0) << summary;
    state.mDataBaseFolder = folder + "/";
    const std::string target = folder + "/Korund5_Prophylaxis.mdb";
    EXPECT_FALSE(CopyDataBase(ctx, folder + "/Korund5.mdb", target, folder + "/Korund5_LastVer.mdb"));
    const std::string pane = Pane();

    // Every table's closing line gives the rows it put into the new file.
    const std::regex ok("Копирование таблицы (\\S+) \\(записей: ([0-9 ]+)\\) завершено успешно "
                        "\\(скопировано записей: ([0-9 ]+)\\)\\.");
    const std::regex failed(
        "Копирование таблицы (\\S+) завершено с ошибкой \\(скопировано записей: ([0-9 ]+) из "
        "([0-9 ]+) в исходной таблице, проигнорировано записей: ([0-9 ]+)\\)\\.");
    std::map<std::string, int64_t> copied;
    int64_t ignored = 0;
    for (std::sregex_iterator it(pane.begin(), pane.end(), ok), end; it != end; ++it)
        copied[(*it)[1]] = Number((*it)[3]);
    for (std::sregex_iterator it(pane.begin(), pane.end(), failed), end; it != end; ++it) {
        copied[(*it)[1]] = Number((*it)[2]);
        ignored += Number((*it)[4]);
    }
    EXPECT_GE(copied.size(), 30u) << pane;
    EXPECT_GE(ignored, 3) << pane; // the damaged row, a duplicate INN, a missing name
    auto out = Open(target);
    EXPECT_EQ(out->IntegrityCheck(), "");
    for (const auto& [table, rows] : copied)
        EXPECT_EQ(Count(*out, table), rows) << table;
    EXPECT_EQ(Count(*out, "PfrPacks"), 0);
    out.reset();

    // The planted faults, each where the summary says.
    std::smatch damaged;
    ASSERT_TRUE(std::regex_search(summary, damaged, std::regex("damaged: (\\S+) row ([0-9]+)"))) << summary;
    EXPECT_THAT(pane, AllOf(HasSubstr("Копирование таблицы " + damaged[1].str() + " (записей: "),
                            HasSubstr(" Поврежденная запись № " + damaged[2].str() + "."),
                            HasSubstr("Таблица PfrPacks не обнаружена в исходной базе данных. Создана новая "
                                      "таблица PfrPacks."),
                            HasSubstr("Промежуточное сжатие файла БД " + target + " завершено успешно.")));
    EXPECT_FALSE(fs::exists(folder + "/Korund5_Compact.mdb"));

    // The clean-up of the new file removes the planted orphans, statement 1's documents
    // taking their cell values, attachments, sub-documents and circles with them.
    log.Pane().Clear();
    DeletingUnnecessaryRecords(ctx, target);
    for (const char* table : {"Doc_Registry", "Doc_Cell_Values", "DOC_Attachments", "PfrSubDocs",
                              "FssDocCircles", "StoredFiles", "PfrPersons", "WarPermissions", "PermBlocks"})
        EXPECT_THAT(Pane(),
                    ::testing::ContainsRegex(std::string("Удаление лишних записей из таблицы ") + table +
                                             " \\(записей: [0-9 ]+\\) завершено \\(удалено записей: [1-9]"));
    EXPECT_EQ(Open(target)->IntegrityCheck(), "");
}

TEST(DemoTool, RefusesBadArgumentsAndLeavesAForeignFolderAlone) {
    QTemporaryDir dir;
    const QString d = dir.filePath("x");
    for (const QStringList& args :
         {QStringList{}, QStringList{d, "--scale", "tiny"}, QStringList{d, "--scale", "huge", "--seed", "1"},
          QStringList{d, "--scale", "tiny", "--seed", "-1"},
          QStringList{d, "--scale", "tiny", "--seed", "1", "--fast"}}) {
        const RunResult r = RunDemo(args);
        EXPECT_EQ(r.exit, 2) << args.join(' ').toStdString();
        EXPECT_THAT(r.err, HasSubstr("usage: k5demo"));
        EXPECT_FALSE(fs::exists(d.toStdString())) << args.join(' ').toStdString();
    }
    // A database folder it did not make stays as it is; one it made is made again.
    const std::string main = dir.path().toStdString() + "/Korund5.mdb";
    std::ofstream(main) << "not ours";
    const RunResult r = RunDemo({dir.path(), "--scale", "tiny", "--seed", "1"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_THAT(r.err, HasSubstr("not made by k5demo"));
    EXPECT_EQ(ReadAll(main), "not ours");
    ASSERT_EQ(RunDemo({d, "--scale", "tiny", "--seed", "1"}).exit, 0);
    EXPECT_EQ(RunDemo({d, "--scale", "tiny", "--seed", "1"}).exit, 0);
}

} // namespace

#endif
