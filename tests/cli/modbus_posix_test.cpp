// The gateway's Modbus register map and its answer to each request frame,
// without sockets: the tags read, the exceptions, the frames that end a
// connection.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "modbus_clients.h"
#include "modbus_map.h"

namespace {

using namespace zelhost;

TEST(ModbusMap, RegistersAndTagsCorrespond) {
    const std::pair<int, const char *> cases[] = {
        {2930, "0104130"}, {0, "0000000"}, {150, "0000150"}, {151, ""}, {199, ""}, {200, "0001000"},
        {2348, "0101148"}, {1800, ""}, {17750, "0808150"}, {17751, ""}, {18000, ""}, {19999, ""},
        {20000, "LINK"}, {20001, "SILENCE"}, {20004, "NOISE"}, {20005, "LINE"}, {20006, "KNOWN"}, {20007, ""}, {65535, ""}};
    for (const auto &[reg, tag] : cases) {
        EXPECT_EQ(TagOfRegister(reg), tag) << reg;
        if (*tag != '\0') {
            EXPECT_EQ(RegisterOfTag(tag), reg) << tag;
        }
    }
    for (const char *none : {"0904001", "0109001", "0100151", "LINKS", "010413"}) EXPECT_EQ(RegisterOfTag(none), -1) << none;
}

// A channel whose every tag reads as its last character's code modulo 4
// (less '0'), recording what was read.
struct Reads {
    std::vector<std::string> tags;
    std::size_t channel = 99;
    static uint16_t Read(void *context, std::size_t channel, const char *tag) {
        auto &reads = *static_cast<Reads *>(context);
        reads.tags.push_back(tag);
        reads.channel = channel;
        const std::string text = tag;
        return static_cast<uint16_t>((text.back() - '0') % 4);
    }
};

struct RequestCase {
    const char *name;
    std::vector<uint8_t> frame;
    ModbusOutcome outcome;
    uint8_t exception;
    std::vector<uint16_t> values;
    std::vector<std::string> tags;  // read, in order
};

// Transaction 0x1234, protocol 0, the length the PDU gives, then unit and PDU.
std::vector<uint8_t> Frame(uint8_t unit, std::vector<uint8_t> pdu) {
    pdu.insert(pdu.begin(), {0x12, 0x34, 0, 0, 0, static_cast<uint8_t>(pdu.size() + 1), unit});
    return pdu;
}
std::vector<uint8_t> Read(uint8_t unit, uint8_t function, int address, int count) {
    return Frame(unit, {function, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                        static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}
std::vector<uint8_t> With(std::vector<uint8_t> frame, std::size_t at, uint8_t byte) {
    frame[at] = byte;
    return frame;
}

class ModbusRequest : public testing::TestWithParam<RequestCase> {};

TEST_P(ModbusRequest, IsAnsweredAsTheMapSays) {
    const RequestCase &c = GetParam();
    Reads reads;
    const ModbusDecision d = DecideModbusRequest(c.frame.data(), c.frame.size(), {1, 7}, {Reads::Read, &reads});
    EXPECT_EQ(d.outcome, c.outcome);
    EXPECT_EQ(d.exception, c.exception);
    EXPECT_EQ(d.values, c.values);
    EXPECT_EQ(reads.tags, c.tags);
    if (!reads.tags.empty()) {
        EXPECT_EQ(reads.channel, c.frame[6] == 7 ? 1u : 0u);
    }
    EXPECT_EQ(d.why.empty(), c.outcome != ModbusOutcome::kClose);
}

using O = ModbusOutcome;
INSTANTIATE_TEST_SUITE_P(
    Cases, ModbusRequest,
    testing::Values(
        RequestCase{"InputRegisters", Read(7, 4, 2929, 3), O::kValues, 0, {1, 0, 1}, {"0104129", "0104130", "0104131"}},
        RequestCase{"HoldingRegisters", Read(1, 3, 20003, 2), O::kValues, 0, {3, 1}, {"LOSSES", "NOISE"}},
        RequestCase{"DiscreteInputs", Read(1, 2, 17749, 2), O::kValues, 0, {1, 0}, {"0808149", "0808150"}},
        // LINE is read as a tag like the others: the reader computes it.
        RequestCase{"LineAfterTheDiagnostics", Read(7, 4, 20003, 3), O::kValues, 0, {3, 1, 1}, {"LOSSES", "NOISE", "LINE"}},
        RequestCase{"LineAsDiscreteInput", Read(1, 2, 20005, 1), O::kValues, 0, {1}, {"LINE"}},
        RequestCase{"KnownAfterLine", Read(7, 3, 20005, 2), O::kValues, 0, {1, 2}, {"LINE", "KNOWN"}},
        RequestCase{"WriteRegister", Frame(1, {6, 0, 0, 0, 1}), O::kException, 1, {}, {}},
        RequestCase{"WriteRegisters", Frame(1, {0x10, 0, 0, 0, 1, 2, 0, 1}), O::kException, 1, {}, {}},
        RequestCase{"WriteCoil", Frame(1, {5, 0, 0, 0xFF, 0}), O::kException, 1, {}, {}},
        RequestCase{"WriteCoils", Frame(1, {0x0F, 0, 0, 0, 1, 1, 1}), O::kException, 1, {}, {}},
        RequestCase{"MaskWrite", Frame(1, {0x16, 0, 0, 0, 0, 0, 0}), O::kException, 1, {}, {}},
        RequestCase{"ReadWrite", Frame(1, {0x17, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 0}), O::kException, 1, {}, {}},
        RequestCase{"Coils", Read(1, 1, 0, 1), O::kException, 1, {}, {}},
        RequestCase{"DeviceIdentification", Frame(1, {0x2B, 0x0E, 1, 0}), O::kException, 1, {}, {}},
        RequestCase{"PointBeyond150", Read(1, 4, 150, 2), O::kException, 2, {}, {}},
        RequestCase{"BeyondTheTable", Read(1, 3, 17751, 1), O::kException, 2, {}, {}},
        RequestCase{"BeforeTheDiagnostics", Read(1, 4, 19999, 2), O::kException, 2, {}, {}},
        RequestCase{"BeyondTheDiagnostics", Read(1, 2, 20006, 2), O::kException, 2, {}, {}},
        RequestCase{"LastAddress", Read(1, 4, 65535, 1), O::kException, 2, {}, {}},
        RequestCase{"NoRegisters", Read(1, 4, 0, 0), O::kException, 3, {}, {}},
        RequestCase{"TooManyRegisters", Read(1, 3, 0, 126), O::kException, 3, {}, {}},
        RequestCase{"TooManyInputs", Read(1, 2, 0, 2001), O::kException, 3, {}, {}},
        RequestCase{"UnknownUnit", Read(2, 4, 2930, 1), O::kException, 11, {}, {}},
        RequestCase{"UnitZero", Frame(0, {6, 0, 0, 0, 1}), O::kException, 11, {}, {}},
        RequestCase{"ProtocolNotModbus", With(Read(1, 4, 2930, 1), 3, 1), O::kClose, 0, {}, {}},
        RequestCase{"LengthTooShort", With(Read(1, 4, 2930, 1), 5, 5), O::kClose, 0, {}, {}},
        RequestCase{"LengthTooLong", With(Read(1, 4, 2930, 1), 5, 7), O::kClose, 0, {}, {}},
        RequestCase{"TruncatedHeader", {0x12, 0x34, 0, 0, 0}, O::kClose, 0, {}, {}},
        RequestCase{"ReadWithATrailingByte", Frame(1, {4, 0, 0, 0, 1, 0}), O::kClose, 0, {}, {}},
        // An exception answer's code as a request: no exception can name it.
        RequestCase{"ExceptionCodeAsFunction", Frame(1, {0x84, 0x45, 0x01, 0x04, 0x45}), O::kClose, 0, {}, {}}),
    [](const testing::TestParamInfo<RequestCase> &info) { return std::string(info.param.name); });

// The most registers of one read: refused whole when they cross point 151,
// nothing read; all read when they end at point 150.
TEST(ModbusMap, ARangeIsRefusedWhenAnyRegisterIsOutside) {
    Reads reads;
    EXPECT_EQ(DecideModbusRequest(Read(1, 4, 100, 125).data(), 12, {1}, {Reads::Read, &reads}).exception, 2);
    EXPECT_TRUE(reads.tags.empty());
    EXPECT_EQ(DecideModbusRequest(Read(1, 4, 26, 125).data(), 12, {1}, {Reads::Read, &reads}).values.size(), 125u);
}

TEST(ModbusMap, ListenAddressesAndClientNetworks) {
    const std::tuple<const char *, const char *, int> listens[] = {
        {"1502", "127.0.0.1", 1502}, {"0.0.0.0:502", "0.0.0.0", 502}, {"[::1]:502", "::1", 502},
        {"::1:502", "", -1}, {"host:", "", -1}, {":502", "", -1}, {"70000", "", -1},
        {"[::1]x:1502", "", -1}, {"[::1]", "", -1}, {"[]:502", "", -1}, {"+502", "", -1}, {"h: 502", "", -1}};
    for (const auto &[text, host, port] : listens) {
        std::string h, error;
        int p = -1;
        EXPECT_EQ(ParseListenAddress(text, &h, &p, &error), port >= 0) << text;
        if (port >= 0) {
            EXPECT_EQ(h + ":" + std::to_string(p), std::string(host) + ":" + std::to_string(port));
            // The log writes a given host back as it was given.
            if (std::strchr(text, ':') != nullptr) {
                EXPECT_EQ(ListenAddressText(h, p), text);
            }
        }
    }
    // The reasons name the option given: --http and --http-allow take the same forms.
    const std::tuple<const char *, const char *, const char *> reasons[] = {
        {"--modbus", "70000", "--modbus: '70000' is not a port number 0-65535"},
        {"--http", "70000", "--http: '70000' is not a port number 0-65535"},
        {"--http", "[::1]x:80", "--http: '[::1]x:80' is not [HOST:]PORT (an IPv6 host in brackets: [::1]:502)"},
        {"--http-allow", "10.0.0.0/33", "--http-allow: '10.0.0.0/33' is not a network such as 10.1.0.0/16, fd00::/8 or one address"},
        {"--http-allow", "::ffff:10.0.0.0/95", "--http-allow: '::ffff:10.0.0.0/95' is an IPv4-mapped network with a prefix under 96: write it as IPv4"}};
    for (const auto &[option, text, reason] : reasons) {
        std::string h, error;
        int p = -1;
        ClientNetwork network;
        const bool parsed = std::string(option).ends_with("allow") ? ParseClientNetwork(text, &network, &error, option)
                                                                   : ParseListenAddress(text, &h, &p, &error, option);
        EXPECT_FALSE(parsed) << text;
        EXPECT_EQ(error, reason);
    }
    std::vector<ClientNetwork> allowed(2);
    std::string error;
    ASSERT_TRUE(ParseClientNetwork("10.1.0.0/16", &allowed[0], &error));
    ASSERT_TRUE(ParseClientNetwork("fd00::/9", &allowed[1], &error));
    for (const char *bad : {"10.1.0.0/33", "10.1/8", "x", "fd00::/129", "10.0.0.0/", "10.1.2.3/ 8", "10.1.2.3/+8",
                            "10.1.2.3/8 ", "::ffff:10.1.0.0/95", "::ffff:10.1.0.0/129"})
        EXPECT_FALSE(ParseClientNetwork(bad, &allowed[0], &error)) << bad;
    ASSERT_TRUE(ParseClientNetwork("10.1.0.0/16", &allowed[0], &error));
    const uint8_t in[4] = {10, 1, 200, 3}, out[4] = {10, 2, 0, 1};
    const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 1, 0, 9};
    const uint8_t v6in[16] = {0xFD, 0x7F}, v6out[16] = {0xFD, 0x80};
    EXPECT_TRUE(ClientAllowed(allowed, AF_INET, in));
    EXPECT_FALSE(ClientAllowed(allowed, AF_INET, out));
    EXPECT_TRUE(ClientAllowed(allowed, AF_INET6, mapped));
    EXPECT_TRUE(ClientAllowed(allowed, AF_INET6, v6in));
    EXPECT_FALSE(ClientAllowed(allowed, AF_INET6, v6out));
    EXPECT_TRUE(ClientAllowed({}, AF_INET, out)) << "no list: every client";
    // An IPv4-mapped network is kept as the IPv4 one (/112: 10.1.0.0/16).
    ASSERT_TRUE(ParseClientNetwork("::ffff:10.1.0.0/112", &allowed[0], &error));
    EXPECT_TRUE(ClientAllowed(allowed, AF_INET6, mapped) && ClientAllowed(allowed, AF_INET, in));
    EXPECT_FALSE(ClientAllowed(allowed, AF_INET, out));
}

// Whom a new client replaces: a full table and a busy address each give up
// their idlest connection, so that no client is locked out.
struct AdmissionCase {
    const char *name;
    std::vector<ClientActivity> connected;
    const char *address;
    int maxClients, maxPerAddress;
    Admission admission;
    std::size_t replaced;
};

class ModbusAdmission : public testing::TestWithParam<AdmissionCase> {};

TEST_P(ModbusAdmission, ReplacesTheIdlest) {
    const AdmissionCase &c = GetParam();
    const AdmissionChoice choice = ChooseAdmission(c.connected, c.address, c.maxClients, c.maxPerAddress);
    EXPECT_EQ(choice.admission, c.admission);
    EXPECT_EQ(choice.admission == Admission::kAdmit ? 0 : choice.replaced, c.replaced);
}

using A = Admission;
const std::vector<ClientActivity> kThree{{"10.0.0.1", 500}, {"10.0.0.2", 100}, {"10.0.0.1", 300}};
INSTANTIATE_TEST_SUITE_P(
    Cases, ModbusAdmission,
    testing::Values(AdmissionCase{"Empty", {}, "10.0.0.1", 1, 1, A::kAdmit, 0},
                    AdmissionCase{"PlaceFree", kThree, "10.0.0.3", 4, 8, A::kAdmit, 0},
                    AdmissionCase{"TableFull", kThree, "10.0.0.3", 3, 8, A::kReplaceIdlest, 1},
                    AdmissionCase{"AddressFull", kThree, "10.0.0.1", 8, 2, A::kReplaceOwn, 2},
                    // Its own address's limit first, though another is idler.
                    AdmissionCase{"BothFull", kThree, "10.0.0.1", 3, 2, A::kReplaceOwn, 2},
                    AdmissionCase{"AddressUnderItsLimit", kThree, "10.0.0.2", 8, 2, A::kAdmit, 0},
                    AdmissionCase{"TieTakesTheEarliest", {{"a", 7}, {"b", 7}}, "c", 2, 8, A::kReplaceIdlest, 0},
                    AdmissionCase{"OneAllowed", {{"a", 9}}, "a", 1, 1, A::kReplaceOwn, 0}),
    [](const testing::TestParamInfo<AdmissionCase> &info) { return std::string(info.param.name); });

}  // namespace
