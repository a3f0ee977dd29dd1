#pragma once
// The archiver object: options, an ordered list of file names and DoZipping. One object is
// made for each archive.
#include <cstdint>
#include <string>
#include <vector>

namespace k5 {

class Env;
class UserInteraction;

class K5Zipper {
public:
    // The prompts, the warning box and the progress of the archiving go to ui.
    // The archive's file-changing calls go through env.
    explicit K5Zipper(UserInteraction& ui, Env& env);

    const std::string& DateFilter() const { return mDateFilter; }
    void SetDateFilter(const std::string& v) { mDateFilter = v; }
    const std::string& RootDir() const { return mRootDir; }
    void SetRootDir(const std::string& v) { mRootDir = v; }
    const std::string& TempDir() const { return mTempDir; }
    void SetTempDir(const std::string& v) { mTempDir = v; }
    int32_t Suffix() const { return mSuffix; }
    void SetSuffix(int32_t v) { mSuffix = v; }
    bool Encrypt() const { return mEncrypt; }
    void SetEncrypt(bool v) { mEncrypt = v; }
    bool IncludeSystem() const { return mIncludeSystem; }
    void SetIncludeSystem(bool v) { mIncludeSystem = v; }
    bool Volume() const { return mVolume; }
    void SetVolume(bool v) { mVolume = v; }
    bool ExcludeExtra() const { return mExcludeExtra; }
    void SetExcludeExtra(bool v) { mExcludeExtra = v; }
    bool NoDirEntries() const { return mNoDirEntries; }
    void SetNoDirEntries(bool v) { mNoDirEntries = v; }
    bool ExcludeDate() const { return mExcludeDate; }
    void SetExcludeDate(bool v) { mExcludeDate = v; }
    bool IncludeDate() const { return mIncludeDate; }
    void SetIncludeDate(bool v) { mIncludeDate = v; }
    bool Verbose() const { return mVerbose; }
    void SetVerbose(bool v) { mVerbose = v; }
    bool Quiet() const { return mQuiet; }
    void SetQuiet(bool v) { mQuiet = v; }
    bool CRLFtoLF() const { return mCRLFtoLF; }
    void SetCRLFtoLF(bool v) { mCRLFtoLF = v; }
    bool LFtoCRLF() const { return mLFtoCRLF; }
    void SetLFtoCRLF(bool v) { mLFtoCRLF = v; }
    bool JunkDir() const { return mJunkDir; }
    void SetJunkDir(bool v) { mJunkDir = v; }
    bool Grow() const { return mGrow; }
    void SetGrow(bool v) { mGrow = v; }
    bool Force() const { return mForce; }
    void SetForce(bool v) { mForce = v; }
    bool Move() const { return mMove; }
    void SetMove(bool v) { mMove = v; }
    bool DeleteEntries() const { return mDeleteEntries; }
    void SetDeleteEntries(bool v) { mDeleteEntries = v; }
    bool Update() const { return mUpdate; }
    void SetUpdate(bool v) { mUpdate = v; }
    bool Freshen() const { return mFreshen; }
    void SetFreshen(bool v) { mFreshen = v; }
    bool JunkSFX() const { return mJunkSFX; }
    void SetJunkSFX(bool v) { mJunkSFX = v; }
    bool LatestTime() const { return mLatestTime; }
    void SetLatestTime(bool v) { mLatestTime = v; }
    bool Offsets() const { return mOffsets; }
    void SetOffsets(bool v) { mOffsets = v; }
    bool Privilege() const { return mPrivilege; }
    void SetPrivilege(bool v) { mPrivilege = v; }
    int32_t Encryption() const { return mEncryption; }
    void SetEncryption(int32_t v) { mEncryption = v; }
    int32_t Recurse() const { return mRecurse; }
    void SetRecurse(int32_t v) { mRecurse = v; }
    int32_t Repair() const { return mRepair; }
    void SetRepair(int32_t v) { mRepair = v; }
    // -1: no explicit level; 0 to 9: that level.
    int32_t Level() const { return mLevel; }
    void SetLevel(int32_t v) { mLevel = v; }
    // A non-zero result of DoZipping becomes error 1000 + code.
    bool RaiseErrors() const { return mRaiseErrors; }
    void SetRaiseErrors(bool v) { mRaiseErrors = v; }
    bool DeleteZipFileFirst() const { return mDeleteZipFileFirst; }
    void SetDeleteZipFileFirst(bool v) { mDeleteZipFileFirst = v; }
    const std::string& ZipFileName() const { return mZipFileName; }
    void SetZipFileName(const std::string& v) { mZipFileName = v; }

    // Replaces the list with a new, empty one.
    void ClearFileNames();
    // Appends the name without any check (duplicates and empty names included).
    void AddFileName(const std::string& aFileName);
    // The list itself, not a copy.
    std::vector<std::string>& FileNames();
    // Makes the archive; the library's code (0 = archive complete).
    int32_t DoZipping();

    UserInteraction& Ui() const { return mUi; }
    Env& GetEnv() const { return mEnv; }

private:
    UserInteraction& mUi;
    Env& mEnv;
    std::string mDateFilter, mRootDir, mTempDir;
    int32_t mSuffix = 0;
    bool mEncrypt = false, mIncludeSystem = false, mVolume = false, mExcludeExtra = false,
         mNoDirEntries = false, mExcludeDate = false, mIncludeDate = false, mVerbose = false, mQuiet = false,
         mCRLFtoLF = false, mLFtoCRLF = false, mJunkDir = false, mGrow = false, mForce = false, mMove = false,
         mDeleteEntries = false, mUpdate = false, mFreshen = false, mJunkSFX = false, mLatestTime = false,
         mOffsets = false, mPrivilege = false;
    int32_t mEncryption = 0, mRecurse = 0, mRepair = 0, mLevel = -1;
    bool mRaiseErrors = false, mDeleteZipFileFirst = true;
    std::string mZipFileName;
    std::vector<std::string> mFileNames;
};

} // namespace k5
