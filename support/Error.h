#pragma once
// The error trail: an unexpected failure travels up as one K5Error, and every named
// procedure's trap adds its location line on the way (outermost line first).
#include <cstdint>
#include <stdexcept>
#include <string>

namespace k5 {

inline constexpr const char* kProgramName = "K5VedovodeduzOR";

class K5Error : public std::exception {
public:
    K5Error(int32_t number, std::string source, std::string description, int32_t line = 0)
        : mNumber(number), mSource(std::move(source)), mDescription(std::move(description)), mLine(line) {}

    int32_t Number() const noexcept { return mNumber; }
    const std::string& Source() const noexcept { return mSource; }
    const std::string& Description() const noexcept { return mDescription; }
    int32_t Line() const noexcept { return mLine; }
    const char* what() const noexcept override { return mDescription.c_str(); }

private:
    int32_t mNumber;
    std::string mSource;
    std::string mDescription;
    int32_t mLine;
};

// Raises an error of the program itself (source = program name).
[[noreturn]] void RaiseError(int32_t number, const std::string& description, int32_t line = 0);

// Builds the description that HandleError passes on for `err` seen in module.procedure.
std::string AddLocationLine(const K5Error& err, const std::string& module, const std::string& procedure,
                            const std::string& detail);

// The common trap: called inside a catch block, it turns the current exception into a
// K5Error (foreign exceptions become program errors), adds the location line and rethrows.
[[noreturn]] void HandleError(const std::string& module, const std::string& procedure,
                              const std::string& detail = std::string());

} // namespace k5

// One short line at the call site:
//   void Foo() { try { ... } K5_TRAP("mZipper", "Foo") }
#define K5_TRAP(module, procedure)                                                                        \
    catch (...) {                                                                                         \
        ::k5::HandleError((module), (procedure));                                                         \
    }
#define K5_TRAP_DETAIL(module, procedure, detail)                                                         \
    catch (...) {                                                                                         \
        ::k5::HandleError((module), (procedure), (detail));                                               \
    }
