// The one-file archive made beside the run, and its check.
#include "archive/Zip32.h"
#include "archive/ZipInternal.h"

#include <zip.h>

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

namespace k5 {

namespace {

using zipdetail::Abandon;
using zipdetail::CodeOf;
using zipdetail::OpenCreated;

struct OneFileProgress {
    const std::atomic<bool>& cancel;
    std::atomic<long>& thousandths;
};

void OnOneFileProgress(zip_t*, double fraction, void* data) {
    static_cast<OneFileProgress*>(data)->thousandths = static_cast<long>(fraction * 1000.0 + 0.5);
}

int OnOneFileCancel(zip_t*, void* data) {
    return static_cast<OneFileProgress*>(data)->cancel ? 1 : 0;
}

} // namespace

int32_t ZipOneFile(const std::string& file, const std::string& entryName, const std::string& target,
                   const std::atomic<bool>& cancel, std::atomic<long>& thousandths) {
    // Created here with the permissions a new file gets; libzip keeps them when it renames
    // its own temporary file onto it.
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return ZE_CREAT;
    ::close(fd);
    zip_t* za = OpenCreated(target);
    if (za == nullptr) return ZE_CREAT;
    auto fail = [&](int32_t code) { return Abandon(za, target, code); };
    zip_source_t* source = zip_source_file_create(file.c_str(), 0, 0, nullptr);
    if (source == nullptr) return fail(ZE_OPEN);
    const zip_int64_t index = zip_file_add(za, entryName.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        return fail(CodeOf(zip_get_error(za)));
    }
    if (zip_set_file_compression(za, index, ZIP_CM_DEFLATE, kDefaultDeflateLevel) != 0) return fail(ZE_PARMS);
    OneFileProgress progress{cancel, thousandths};
    zip_register_progress_callback_with_state(za, 0.001, OnOneFileProgress, nullptr, &progress);
    zip_register_cancel_callback_with_state(za, OnOneFileCancel, nullptr, &progress);
    if (zip_close(za) != 0) return fail(cancel ? ZE_ABORT : CodeOf(zip_get_error(za)));
    // Flushed without the counted seam; the folder is flushed by whoever renames it.
    const int out = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    const bool flushed = out >= 0 && ::fsync(out) == 0;
    if (out >= 0) ::close(out);
    if (!flushed) {
        unlink(target.c_str());
        return ZE_WRITE;
    }
    return ZE_OK;
}

bool ZipHoldsOneFile(const std::string& zip, const std::string& entryName, uint64_t size) {
    int zipError = 0;
    zip_t* za = zip_open(zip.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &zipError);
    if (za == nullptr) return false;
    zip_stat_t st;
    zip_stat_init(&st);
    const bool one = zip_get_num_entries(za, 0) == 1 && zip_stat_index(za, 0, 0, &st) == 0 &&
                     (st.valid & ZIP_STAT_NAME) && (st.valid & ZIP_STAT_SIZE) && entryName == st.name &&
                     st.size == size;
    zip_discard(za);
    return one;
}

} // namespace k5
