#pragma once
// Scratch databases and folders for the maintenance tests; a fixed stamp lets lines compare whole.
#include "common/ScriptedInteraction.h"
#include "maintenance/Context.h"
#include "maintenance/RunStart.h"
#include "support/FilesLib.h"

#include "common/TestEnv.h"
#include "common/TestUtil.h"
#include "dbengine/EngineTestUtil.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gmock/gmock.h>

#include <cstdlib>
#include <fstream>
#include <functional>

namespace k5::mtest {

inline constexpr const char* kStamp = "2021.03.15 09:05:07: ";
using k5test::Quote;
using k5test::ReadAll;
using k5test::Shell;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

// The description of the error that `call` raised; a failure when it raised none.
inline std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const K5Error& e) {
        return e.Description();
    }
    ADD_FAILURE() << "no error was raised";
    return {};
}

struct Col {
    std::string name;
    int type = db::dbLong;
    int size = 0;
};

inline db::TableDef MakeDef(db::Database& d, const std::string& name, const std::vector<Col>& cols,
                            const std::vector<std::string>& primaryKey = {}) {
    db::TableDef def = d.CreateTableDef(name);
    for (const Col& c : cols)
        def.Fields.push_back(def.CreateField(c.name, c.type, c.size));
    if (primaryKey.empty()) return def;
    db::Index pk = def.CreateIndex("PrimaryKey");
    for (const std::string& f : primaryKey)
        pk.Fields.push_back(pk.CreateField(f));
    pk.Primary = pk.Unique = true;
    def.Indexes.push_back(pk);
    return def;
}

inline void AddTable(db::Database& d, const std::string& name, const std::vector<Col>& cols,
                     const std::vector<std::string>& primaryKey = {}) {
    d.AppendTableDef(MakeDef(d, name, cols, primaryKey));
}

inline void AddRows(db::Database& d, const std::string& table, const std::vector<std::vector<Value>>& rows) {
    auto rs = d.OpenRecordset(table, db::dbOpenTable);
    for (const auto& values : rows) {
        rs->AddNew();
        for (size_t i = 0; i < values.size(); ++i)
            rs->SetValue(static_cast<int>(i), values[i]);
        rs->Update();
    }
    rs->Close();
}

inline int64_t Count(db::Database& d, const std::string& table) {
    return d.OpenRecordset(table, db::dbOpenTable)->RecordCount();
}

inline std::vector<Value> Column(db::Database& d, const std::string& table, const std::string& column) {
    std::vector<Value> out;
    auto rs = d.OpenRecordset(table, db::dbOpenTable);
    for (bool any = rs->RecordCount() > 0; any && !rs->IsEOF(); rs->MoveNext())
        out.push_back(rs->GetValue(column));
    return out;
}

inline std::vector<Value> Longs(std::initializer_list<int32_t> values) {
    return std::vector<Value>(values.begin(), values.end());
}

inline bool Exists(const std::string& path) {
    return QFileInfo::exists(QString::fromStdString(path));
}

inline std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> out;
    for (const QString& n :
         QDir(QString::fromStdString(dir)).entryList(QDir::Files | QDir::Hidden, QDir::Name))
        out.push_back(n.toStdString());
    return out;
}

// A run context around a scratch folder.
struct ContextFixture : ::testing::Test {
    RunState state;
    ScriptedInteraction ui;
    k5test::TestEnv env;
    RunProtocol log{state, ui, env};
    FixedRunOptions options;
    db::DBEngine engine{env};
    MaintenanceContext ctx{state, log, ui, env, options, engine};
    QTemporaryDir dir;

    ContextFixture() {
        env.protocolTime = k5test::LocalTime(2021, 3, 15, 9, 5, 7); // kStamp
        state.mDataBaseFolder = Path("");
    }
    std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    std::unique_ptr<db::Database> Create(const std::string& name) { return db::test::NewDb(Path(name)); }
    std::unique_ptr<db::Database> Open(const std::string& path) { return db::test::OpenDb(path, true, true); }
    std::string Pane() { return log.Pane().Text(); }
    bool Has(const std::string& text) { return Pane().find(text) != std::string::npos; }
    // As Has, and a failure shows the pane.
    ::testing::AssertionResult Shows(const std::string& text) {
        if (Has(text)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "not in the pane: " << text << "\n" << Pane();
    }
    // The look of the run holding `text` (the last run when there is none, so checks fail).
    const RichPane::Run& RunWith(const std::string& text) {
        for (const auto& run : log.Pane().Runs())
            if (QString::fromStdU16String(run.text).toStdString().find(text) != std::string::npos) return run;
        ADD_FAILURE() << "no run holds " << text;
        return log.Pane().Runs().back();
    }
};

// GLib reads the data folder once per process: every test shares one scratch trash.
inline const std::string& TrashHome() {
    static QTemporaryDir home(QDir::tempPath() + "/k5runtrash-XXXXXX");
    static const std::string path = [] {
        setenv("XDG_DATA_HOME", (home.path().toStdString() + "/data").c_str(), 1);
        return home.path().toStdString() + "/data/Trash";
    }();
    return path;
}

// "Orgs" (Id Long primary key, Name) and "DBVersion" 4.minor.17, listed in the reference's
// "ListTbl". With duplicates the main file holds two rows with Id 1, which the rebuilt table refuses.
inline void MakeDatabase(const std::string& path, bool reference, int minor = 2, bool duplicates = false) {
    auto d = db::test::NewDb(path);
    AddTable(*d, "DBVersion", {{"MajorVersion"}, {"MinorVersion"}, {"BuildNumber"}});
    AddTable(*d, "Orgs", {{"Id"}, {"Name", db::dbText, 50}},
             reference || !duplicates ? std::vector<std::string>{"Id"} : std::vector<std::string>{});
    AddRows(*d, "DBVersion", {{int32_t{4}, int32_t(minor), int32_t{17}}});
    if (reference) {
        AddTable(*d, "ListTbl", {{"TblName", db::dbText, 64}, {"TblType"}});
        AddRows(*d, "ListTbl", {{std::string("DBVersion"), int32_t(0)}, {std::string("Orgs"), int32_t(1)}});
        return d->Close();
    }
    std::vector<std::vector<Value>> rows;
    for (int32_t i = 1; i <= 200; ++i)
        rows.push_back({duplicates && i == 2 ? 1 : i, "ООО \"Ромашка-" + std::to_string(i) + "\""});
    AddRows(*d, "Orgs", rows);
    d->Close();
}

inline int64_t OrgRows(const std::string& path) {
    return Count(*db::test::OpenDb(path, false, true), "Orgs");
}

// A scratch database folder with its settings, the trash and no wait before the stamp.
struct RunFixture : ContextFixture {
    std::string root, folder, mainFile, refFile, protocolFolder, trash;

    void SetUp() override {
        root = dir.path().toStdString();
        folder = root + "/База данных";
        mainFile = folder + "/Korund5.mdb";
        refFile = folder + "/Korund5_LastVer.mdb";
        protocolFolder = folder + "/Профилактика_БД";
        trash = TrashHome();
        state.mDataBaseFolder.clear();
        QDir().mkpath(QString::fromStdString(folder));
        QDir().mkpath(QString::fromStdString(root + "/etc/Seltaris"));
        setenv("XDG_CONFIG_DIRS", (root + "/etc").c_str(), 1);
        SetSetting("");
        // No second before the stamp; the other waits are the system's.
        env.pause = [this](Wait which, UserInteraction& u) {
            if (which == Wait::RunStamp) return u.YieldOnce();
            env.SystemEnv::Pause(which, u);
        };
    }
    void SetSetting(const std::string& dataBasePath) {
        std::ofstream(root + "/etc/Seltaris/Korund5.conf", std::ios::binary | std::ios::trunc)
            << "[General]\n"
            << (dataBasePath.empty() ? "" : "DataBasePath=" + dataBasePath + "\n");
    }
    void MakeFolder(int mainMinor = 2, bool duplicates = false) {
        MakeDatabase(refFile, true);
        MakeDatabase(mainFile, false, mainMinor, duplicates);
    }
    std::string RunStampText() const {
        return state.mBackupSuffix.substr(std::string("_резервная_копия_").size());
    }
};

} // namespace k5::mtest
