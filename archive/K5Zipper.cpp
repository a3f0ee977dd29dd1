#include "archive/K5Zipper.h"

#include "archive/Zipper.h"
#include "support/Error.h"
#include "support/FileUtils.h"

namespace k5 {

namespace {
constexpr const char* kClass = "K5Zipper";
}

K5Zipper::K5Zipper(UserInteraction& ui, Env& env) try : mUi(ui), mEnv(env) {
} catch (...) {
    HandleError(kClass, "Class_Initialize");
}

void K5Zipper::ClearFileNames() {
    try {
        mFileNames = std::vector<std::string>();
    }
    K5_TRAP(kClass, "ClearFileNames")
}

void K5Zipper::AddFileName(const std::string& aFileName) {
    try {
        mFileNames.push_back(aFileName);
    }
    K5_TRAP(kClass, "AddFileName")
}

std::vector<std::string>& K5Zipper::FileNames() {
    try {
        return mFileNames;
    }
    K5_TRAP(kClass, "FileNames")
}

int32_t K5Zipper::DoZipping() {
    try {
        // An archive always holds this call's files only; a file that cannot be deleted
        // is met by the library as an existing archive.
        if (mDeleteZipFileFirst) {
            try {
                DeleteFile(mEnv, mZipFileName, true);
            } catch (...) {
            }
        }
        const int32_t code = ZipWithOptions(*this);
        if (mRaiseErrors && code != 0) RaiseError(1000 + code, ZipErrorText(code));
        return code;
    }
    K5_TRAP(kClass, "DoZipping")
}

} // namespace k5
