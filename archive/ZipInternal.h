#pragma once
// What the archive writers share: libzip's error as an Info-ZIP code, and the handling of
// an archive file made for libzip.
#include <zip.h>

#include <cstdint>
#include <string>

namespace k5::zipdetail {

// The Info-ZIP code that tells libzip's error.
int32_t CodeOf(zip_error_t* error);
// libzip on a file just created for it; the file is removed when libzip refuses it.
zip_t* OpenCreated(const std::string& path);
// An archive given up on: nothing of it stays on disk. Returns `code`.
int32_t Abandon(zip_t* za, const std::string& path, int32_t code);

} // namespace k5::zipdetail
