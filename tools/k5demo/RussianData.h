#pragma once
// Word lists and composers for plausible Russian accounting data.
#include "Rng.h"

#include <string>
#include <utility>

namespace k5demo {

struct PersonName {
    std::string LastName;
    std::string FirstName;
    std::string MiddleName;
    bool Male = true;
    std::string Full() const { return LastName + " " + FirstName + " " + MiddleName; }
};

struct AddressParts {
    std::string PostIndex;
    std::string Region;
    std::string City;
    std::string Street;
    std::string House;
    std::string Flat; // empty for offices
    std::string Full() const;
};

struct DocTemplateInfo {
    int32_t Id;
    const char* FormCode;
    const char* Name;
    int Kind; // 1 tax, 2 pension fund, 3 social insurance, 4 statistics
};

PersonName MakePersonName(Rng& rng);
std::string MakeOrganisationName(Rng& rng);
AddressParts MakeAddress(Rng& rng);
std::string MakePosition(Rng& rng, bool head);
std::string MakeIssuer(Rng& rng);
std::string MakeSentence(Rng& rng);
// Text of about `bytes` bytes of UTF-8, built from whole sentences.
std::string MakeText(Rng& rng, size_t bytes);
// A cell value of a report form: a sum, a code or a short text.
std::string MakeCellValue(Rng& rng, int column);
std::string MakeErrorText(Rng& rng);
std::string MakePowerText(Rng& rng);

const std::vector<DocTemplateInfo>& DocTemplates();

} // namespace k5demo
