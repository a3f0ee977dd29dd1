// The copy and the clean-up of the demo database folder, planted faults included.
#include "CopyFixture.h"
#include "common/TestUtil.h"
#include "maintenance/DatabaseCopy.h"
#include "maintenance/OrphanCleanup.h"

#include <map>
#include <regex>

#ifdef K5_DEMO_TOOL

using namespace k5;
using namespace k5::copytest;

namespace {

int64_t Number(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return std::stoll(text);
}

using DemoCopyTest = CopyFixture;

TEST_F(DemoCopyTest, DemoDatabaseCopiesWithRowCountsAsTheProtocolSays) {
    const std::string folder = Path("demo");
    int exitCode = -1;
    const std::string summary = k5test::Shell(
        std::string(K5_DEMO_TOOL) + " " + k5test::Quote(folder) + " --scale tiny --seed 11", &exitCode);
    ASSERT_EQ(exitCode, 0) << summary;
    state.mDataBaseFolder = folder + "/";
    const std::string source = folder + "/Korund5.mdb", target = folder + "/Korund5_Prophylaxis.mdb",
                      reference = folder + "/Korund5_LastVer.mdb";

    EXPECT_FALSE(CopyDataBase(ctx, source, target, reference));
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

    auto out = ctx.engine.OpenDatabase(target, true, true);
    EXPECT_EQ(out->IntegrityCheck(), "");
    for (const auto& [table, rows] : copied)
        EXPECT_EQ(Count(*out, table), rows) << table;
    EXPECT_EQ(Count(*out, "PfrPacks"), 0);
    out.reset();

    // The planted faults, each where the summary says.
    std::smatch damaged;
    ASSERT_TRUE(std::regex_search(summary, damaged, std::regex("damaged: (\\S+) row ([0-9]+)"))) << summary;
    EXPECT_NE(pane.find("Копирование таблицы " + damaged[1].str() + " (записей: "), std::string::npos);
    EXPECT_NE(pane.find(" Поврежденная запись № " + damaged[2].str() + "."), std::string::npos) << pane;
    EXPECT_NE(
        pane.find("Таблица PfrPacks не обнаружена в исходной базе данных. Создана новая таблица PfrPacks."),
        std::string::npos);
    EXPECT_NE(pane.find("Промежуточное сжатие файла БД " + target + " завершено успешно."),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(folder + "/Korund5_Compact.mdb"));

    // The clean-up of the new file removes the planted orphans, statement 1's documents
    // taking their cell values, attachments, sub-documents and circles with them.
    log.Pane().Clear();
    DeletingUnnecessaryRecords(ctx, target);
    const std::string cleanup = Pane();
    for (const char* table :
         {"Doc_Registry", "Doc_Cell_Values", "DOC_Attachments", "PfrSubDocs", "FssDocCircles"})
        EXPECT_TRUE(
            std::regex_search(cleanup, std::regex(std::string("Удаление лишних записей из таблицы ") + table +
                                                  " \\(записей: [0-9 ]+\\) завершено \\(удалено записей: "
                                                  "[1-9]")))
            << table << "\n"
            << cleanup;
    EXPECT_EQ(ctx.engine.OpenDatabase(target, true, true)->IntegrityCheck(), "");
}

} // namespace

#endif
