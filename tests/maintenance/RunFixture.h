#pragma once
// Whole database folders for the check pass and the repair sequence: a small reference and
// main file built with our engine, settings in a scratch configuration folder, the trash in
// a scratch data folder, and the stamp pause made short.
#include "maintenance/Context.h"
#include "maintenance/RunStart.h"
#include "support/FilesLib.h"
#include "support/ScriptedInteraction.h"

#include "common/TestUtil.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace k5::runtest {

inline constexpr const char* kStamp = "2021.03.15 09:05:07: ";

// GLib reads the data folder once per process: every test shares one scratch trash.
inline const std::string& TrashHome() {
    static QTemporaryDir home(QDir::tempPath() + "/k5runtrash-XXXXXX");
    static const std::string path = [] {
        std::string p = home.path().toStdString();
        setenv("XDG_DATA_HOME", (p + "/data").c_str(), 1);
        return p + "/data/Trash";
    }();
    return path;
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

struct Version {
    int major = 4, minor = 2, build = 17;
};

// One table "Orgs" (Id Long primary key, Name Text 50) plus "DBVersion", listed in "ListTbl".
// With duplicates, the main file holds two rows with the same Id (no key of its own), which
// the rebuilt table refuses: a run with a failed entry.
inline void MakeDatabase(const std::string& path, bool reference, Version v, bool duplicates = false) {
    auto& engine = db::DBEngine::Instance();
    auto database = engine.CreateDatabase(path, db::dbLangCyrillic);
    auto table = [&](const std::string& name, std::vector<db::Field> fields, bool key) {
        db::TableDef def = database->CreateTableDef(name);
        def.Fields = std::move(fields);
        if (key) {
            db::Index pk = def.CreateIndex("PrimaryKey");
            pk.Fields.push_back(pk.CreateField(def.Fields[0].Name));
            pk.Primary = pk.Unique = true;
            def.Indexes.push_back(pk);
        }
        database->AppendTableDef(def);
    };
    db::TableDef scratch;
    table("DBVersion",
          {scratch.CreateField("MajorVersion", db::dbLong), scratch.CreateField("MinorVersion", db::dbLong),
           scratch.CreateField("BuildNumber", db::dbLong)},
          false);
    table("Orgs", {scratch.CreateField("Id", db::dbLong), scratch.CreateField("Name", db::dbText, 50)},
          reference || !duplicates);
    auto rs = database->OpenRecordset("DBVersion", db::dbOpenTable);
    rs->AddNew();
    rs->SetValue(0, Value(int32_t(v.major)));
    rs->SetValue(1, Value(int32_t(v.minor)));
    rs->SetValue(2, Value(int32_t(v.build)));
    rs->Update();
    rs->Close();
    if (reference) {
        table("ListTbl",
              {scratch.CreateField("TblName", db::dbText, 64), scratch.CreateField("TblType", db::dbLong)},
              false);
        rs = database->OpenRecordset("ListTbl", db::dbOpenTable);
        for (auto [name, type] : {std::pair{"DBVersion", 0}, std::pair{"Orgs", 1}}) {
            rs->AddNew();
            rs->SetValue(0, Value(std::string(name)));
            rs->SetValue(1, Value(int32_t(type)));
            rs->Update();
        }
        rs->Close();
    } else {
        rs = database->OpenRecordset("Orgs", db::dbOpenTable);
        for (int i = 1; i <= 200; ++i) {
            rs->AddNew();
            rs->SetValue(0, Value(int32_t(duplicates && i == 2 ? 1 : i)));
            rs->SetValue(1, Value("ООО \"Ромашка-" + std::to_string(i) + "\""));
            rs->Update();
        }
        rs->Close();
    }
    database->Close();
}

inline int64_t OrgRows(const std::string& path) {
    auto database = db::DBEngine::Instance().OpenDatabase(path, false, true);
    auto rs = database->OpenRecordset("Orgs", db::dbOpenTable);
    const int64_t n = rs->RecordCount();
    rs->Close();
    database->Close();
    return n;
}

// A scratch database folder, its settings and a run context around it.
class RunFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(mTemp.isValid());
        root = mTemp.path().toStdString();
        folder = root + "/База данных";
        QDir().mkpath(QString::fromStdString(folder));
        mainFile = folder + "/Korund5.mdb";
        refFile = folder + "/Korund5_LastVer.mdb";
        protocolFolder = folder + "/Профилактика_БД";
        trash = TrashHome();
        const std::string config = root + "/etc";
        QDir().mkpath(QString::fromStdString(config + "/Seltaris"));
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, QString::fromStdString(config));
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, QString::fromStdString(config));
        settingsFile = config + "/Seltaris/Korund5.conf";
        SetSetting("");
        gFilesLibUnavailable = false;
        mSavedPause = gRunStampPause;
        gRunStampPause = [](MaintenanceContext& ctx) { ctx.ui.YieldOnce(); };
        log.stampSource = [] { return std::string(kStamp); };
    }
    void TearDown() override {
        gRunStampPause = mSavedPause;
        gFilesLibUnavailable = false;
    }

    // Empty removes the value.
    void SetSetting(const std::string& dataBasePath) {
        std::ofstream out(settingsFile, std::ios::binary | std::ios::trunc);
        out << "[General]\n";
        if (!dataBasePath.empty()) out << "DataBasePath=" << dataBasePath << "\n";
    }

    void MakeFolder(Version mainVersion = {}, Version refVersion = {}, bool duplicates = false) {
        MakeDatabase(refFile, true, refVersion);
        MakeDatabase(mainFile, false, mainVersion, duplicates);
    }

    std::string Pane() { return log.Pane().Text(); }
    bool Has(const std::string& text) { return Pane().find(text) != std::string::npos; }

    // The run's stamp, from the backup suffix.
    std::string RunStampText() const {
        const std::string prefix = "_резервная_копия_";
        return state.mBackupSuffix.substr(prefix.size());
    }

    QTemporaryDir mTemp;
    std::string root, folder, mainFile, refFile, protocolFolder, trash, settingsFile;
    RunState state;
    ScriptedInteraction ui;
    RunProtocol log{state, ui};
    FixedRunOptions options;
    MaintenanceContext ctx{state, log, ui, options, db::DBEngine::Instance()};

private:
    std::function<void(MaintenanceContext&)> mSavedPause;
};

} // namespace k5::runtest
