// `zelhost validate`: the driver's answer whether an address suits a tag
// type.
#include <climits>
#include <cstdio>
#include <map>

#include "commands.h"
#include "wire_text.h"
#include "zelwnqx.h"

namespace zelhost {
namespace {

using zeltools::Fail;

// A type named on the command line: its code, and the address type whose
// points it takes (empty for a bare type code).
struct TagType {
    int code = 0;
    std::string addressType;
};

// The driver's answer for the type code; a named type also needs an
// address of its own kind, since type code 6 serves CKT, Line Shorted and
// Battery points alike.
struct ValidateCommand {
    std::string address;
    std::string typeText;
};
ValidateCommand command;

int Validate(const Options &options, const std::string &address, const TagType &type) {
    // The diagnostic tags are the driver's to judge too (type code 0 takes them).
    const bool diagnostic = IsDiagnosticTag(address);
    if (!IsAddressText(address) && !diagnostic) return FailMalformedAddress(address);
    Console console;
    ConsoleScope scope{console};
    DriverLibrary library;
    HostSession session;
    if (const int code = Begin(options, console, &library, &session); code >= 0) return code;
    const int32_t result = ValidateAddress(session, address, type.code);
    const std::string answer = "ValidateAddress answered " + ResultText(ZEL_OP_VALIDATE_ADDRESS, result);
    const std::string kind = diagnostic ? "diagnostic tag" : std::string(AddressTypeOf(address)) + " point";
    const std::string ownType = diagnostic ? "Regular" : AddressTypeOf(address);
    if (result == ZEL_OK && !type.addressType.empty() && type.addressType != ownType) {
        std::printf("%s with type code %d: rejected, a %s, not %s (%s)\n", address.c_str(), type.code,
                    ownType == "-" ? "table point" : kind.c_str(), type.addressType.c_str(), answer.c_str());
        return zeltools::kExitNo;
    }
    std::printf("%s with type code %d: %s, %s%s\n", address.c_str(), type.code, result == ZEL_OK ? "valid" : "rejected",
                answer.c_str(), result == ZEL_OK ? ("; a " + kind).c_str() : "");
    return result == ZEL_OK ? zeltools::kExitOk : zeltools::kExitNo;
}

// A type code, or the name of an address type for its code.
bool TypeCodeOf(const std::string &text, TagType *type) {
    static const std::map<std::string, TagType> kNames{{"regular", {0, "Regular"}},
                                                       {"ckt", {6, "CKT"}},
                                                       {"shorted", {6, "Line Shorted"}},
                                                       {"line-shorted", {6, "Line Shorted"}},
                                                       {"battery", {6, "Battery"}}};
    std::string lower = text;
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (auto it = kNames.find(lower); it != kNames.end()) {
        *type = it->second;
        return true;
    }
    int *code = &type->code;
    long long value = 0;
    if (!zeltools::WholeNumber(text, &value) || value < INT32_MIN || value > INT32_MAX) return false;
    *code = static_cast<int>(value);
    return true;
}

int ValidateChosen(const Options &options) {
    TagType type;
    if (!TypeCodeOf(command.typeText, &type))
        return Fail(kTool, "type '" + zeltools::ShownText(command.typeText, 24) +
                               "' is neither a type code nor one of regular, ckt, shorted, battery");
    return Validate(options, command.address, type);
}

}  // namespace

Command AddValidateCommand(CLI::App &app) {
    CLI::App *validate =
        app.add_subcommand("validate", "Ask the driver whether an address suits a tag type (exit 0 valid, 1 rejected)");
    validate->add_option("address", command.address, "Tag address BBSSPPP, or a diagnostic tag (LINK, SILENCE, ...)")
        ->required();
    validate
        ->add_option("type", command.typeText,
                     "Type code (0 Regular; 6 CKT, Line Shorted, Battery) or a type name: regular, ckt, shorted, battery")
        ->required();
    return {validate, ValidateChosen};
}

}  // namespace zelhost
