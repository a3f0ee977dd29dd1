#include "support/Error.h"

#include <exception>
#include <new>

namespace k5 {

namespace {
// Numbers the runtime would give foreign failures.
constexpr int32_t kOutOfMemory = 7;
constexpr int32_t kInternalError = 51;
} // namespace

void RaiseError(int32_t number, const std::string& description, int32_t line) {
    throw K5Error(number, kProgramName, description, line);
}

std::string AddLocationLine(const K5Error& err, const std::string& module, const std::string& procedure,
                            const std::string& detail) {
    std::string location = "[";
    location += kProgramName;
    location += module.empty() ? std::string("::?") : "::" + module;
    if (!procedure.empty()) location += "." + procedure;
    if (err.Line() != 0) location += " (" + std::to_string(err.Line()) + ")";
    location += "]";
    if (!detail.empty()) location += " {" + detail + "}";
    if (!err.Source().empty()) location += "\r\n[" + err.Source() + "]";

    const std::string& old = err.Description();
    const bool startsWithBreak = !old.empty() && (old.front() == '\r' || old.front() == '\n');
    return startsWithBreak ? location + old : location + "\r\n" + old;
}

void HandleError(const std::string& module, const std::string& procedure, const std::string& detail) {
    K5Error current(kInternalError, kProgramName, "Unknown error");
    try {
        throw;
    } catch (const K5Error& e) {
        current = e;
    } catch (const std::bad_alloc&) {
        current = K5Error(kOutOfMemory, kProgramName, "Недостаточно памяти");
    } catch (const std::exception& e) {
        current = K5Error(kInternalError, kProgramName, e.what());
    } catch (...) {
    }
    // The line number belongs to the level that failed; the caller's level has none.
    throw K5Error(current.Number(), std::string(), AddLocationLine(current, module, procedure, detail));
}

} // namespace k5
