// The table of pairing codes and devices, with a clock the tests set: a
// code works once and only within its lifetime, a newer code retires an
// older one, tokens work until their device is forgotten, and two devices
// with one code at once get one token between them.
#include "pairing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace {

const int lifetime = 600000;
const std::uint32_t phone = 0xC0A80121;  // 192.168.1.33

pairing_clock at(std::int64_t steady_ms) { return {steady_ms, 1765000000000 + steady_ms}; }

TEST(Pairing, ACodeWorksOnceWithinItsLifetime)
{
    device_table table;
    std::set<std::string> codes;
    for (int i = 0; i < 50; ++i) {
        const std::string code = new_pairing_code(table, "", lifetime, at(0));
        ASSERT_EQ(code.size(), 32u);
        EXPECT_EQ(code.find_first_not_of("0123456789abcdef"), std::string::npos) << code;
        codes.insert(code);
    }
    EXPECT_EQ(codes.size(), 50u);

    const std::string code = new_pairing_code(table, "", lifetime, at(1000));
    EXPECT_EQ(live_pairing_codes(table, at(1000)), 1);
    const auto device = trade_pairing_code(table, code, "Chrome on Android", phone, at(2000));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->token.size(), 32u);
    EXPECT_NE(device->token, code);
    EXPECT_EQ(device->name, "Chrome on Android");
    EXPECT_FALSE(trade_pairing_code(table, code, "again", phone, at(3000)));
    EXPECT_EQ(live_pairing_codes(table, at(3000)), 0);

    // In either letter case, until its last millisecond, and not after it.
    std::string late = new_pairing_code(table, "", lifetime, at(10000));
    for (char& c : late)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(trade_pairing_code(table, late, "", phone, at(10000 + lifetime - 1)));
    const std::string expired = new_pairing_code(table, "", lifetime, at(20000));
    EXPECT_FALSE(trade_pairing_code(table, expired, "", phone, at(20000 + lifetime)));
    EXPECT_FALSE(trade_pairing_code(table, expired, "", phone, at(20000)));
    for (std::string wrong :
         {std::string(), std::string(32, '0'), code.substr(1), code + "0", std::string(32, 'g')})
        EXPECT_FALSE(trade_pairing_code(table, wrong, "", phone, at(0))) << wrong;
}

TEST(Pairing, ANewCodeRetiresTheOneBefore)
{
    device_table table;
    const std::string first = new_pairing_code(table, "", lifetime, at(0));
    const std::string second = new_pairing_code(table, "", lifetime, at(0));
    EXPECT_FALSE(trade_pairing_code(table, first, "", phone, at(1)));
    EXPECT_TRUE(trade_pairing_code(table, second, "", phone, at(1)));
}

TEST(Pairing, TokensWorkUntilTheirDeviceIsForgotten)
{
    device_table table;
    const auto a = trade_pairing_code(table, new_pairing_code(table, "Anna's phone", lifetime, at(0)),
                                      "Safari on iPhone", phone, at(100));
    const auto b = trade_pairing_code(table, new_pairing_code(table, "", lifetime, at(0)), "Firefox on Linux",
                                      phone + 1, at(200));
    ASSERT_TRUE(a && b);
    // The name typed when the code was made wins over the browser's.
    EXPECT_EQ(a->name, "Anna's phone");
    EXPECT_EQ(b->name, "Firefox on Linux");
    EXPECT_TRUE(device_token_valid(table, a->token, 0x0A000009, at(5000)));
    EXPECT_TRUE(device_token_valid(table, b->token, phone + 1, at(6000)));
    EXPECT_FALSE(device_token_valid(table, std::string(32, '0'), phone, at(6000)));
    EXPECT_FALSE(device_token_valid(table, a->token.substr(0, 31), phone, at(6000)));

    std::vector<device_info> list = paired_devices(table);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "Anna's phone");
    EXPECT_EQ(list[0].paired_at_ms, at(100).wall_ms);
    EXPECT_EQ(list[0].seen_at_ms, at(5000).wall_ms);
    EXPECT_EQ(list[0].address, 0x0A000009u);
    EXPECT_NE(list[0].id, list[1].id);

    EXPECT_TRUE(forget_device(table, list[0].id));
    EXPECT_FALSE(forget_device(table, list[0].id));
    EXPECT_FALSE(device_token_valid(table, a->token, phone, at(7000)));
    EXPECT_TRUE(device_token_valid(table, b->token, phone, at(7000)));
    EXPECT_EQ(forget_all_devices(table), 1);
    EXPECT_FALSE(device_token_valid(table, b->token, phone, at(7000)));
    EXPECT_TRUE(paired_devices(table).empty());
}

TEST(Pairing, AFullTableMakesNoCode)
{
    device_table table;
    for (std::size_t i = 0; i < max_device_slots; ++i)
        ASSERT_TRUE(trade_pairing_code(table, new_pairing_code(table, "", lifetime, at(0)), "", phone, at(0)))
            << i;
    EXPECT_EQ(new_pairing_code(table, "", lifetime, at(0)), "");
    forget_device(table, paired_devices(table).back().id);
    EXPECT_NE(new_pairing_code(table, "", lifetime, at(0)), "");
}

// Many devices racing for one code: exactly one gets a token, and every
// token given out is valid; run under ThreadSanitizer in the test command.
TEST(Pairing, OneCodeOneDeviceWhateverTheRace)
{
    device_table table;
    for (int round = 0; round < 20; ++round) {
        const std::string code = new_pairing_code(table, "", lifetime, at(0));
        std::atomic<int> won{0};
        std::vector<std::thread> devices;
        for (int d = 0; d < 8; ++d) {
            devices.emplace_back([&] {
                if (auto device = trade_pairing_code(table, code, "", phone, at(1))) {
                    ++won;
                    EXPECT_TRUE(device_token_valid(table, device->token, phone, at(2)));
                }
            });
        }
        for (auto& t : devices)
            t.join();
        EXPECT_EQ(won.load(), 1) << round;
    }
    EXPECT_EQ(paired_devices(table).size(), 20u);
}

TEST(Pairing, DeviceNamesAreKeptClean)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Anna's phone", "Anna's phone"},
        {"  padded  ", "padded"},
        {"tab\there", "tabhere"},
        {"line\r\nbreak\x7f", "linebreak"},
        {"caf\xC3\xA9 \xE2\x98\x95", "caf\xC3\xA9 \xE2\x98\x95"},
        {"bad \xC3 byte", "bad  byte"},
        {"overlong \xC0\xAF end", "overlong  end"},
        {"surrogate \xED\xA0\x80!", "surrogate !"},
        {"C1 \xC2\x85 control", "C1  control"},
        {std::string(70, 'x'), std::string(64, 'x')},
        {std::string(63, 'x') + "\xC3\xA9", std::string(63, 'x')},
        {"   ", ""},
    };
    for (const auto& [raw, kept] : cases)
        EXPECT_EQ(clean_device_name(raw), kept) << raw;
}

TEST(Pairing, FormValues)
{
    EXPECT_EQ(form_value("code=abc&name=Anna%27s+phone", "name"), "Anna's phone");
    EXPECT_EQ(form_value("code=abc&name=Anna%27s+phone", "code"), "abc");
    EXPECT_EQ(form_value("all", "all"), "");
    EXPECT_EQ(form_value("a=1&&b=%zz%4", "b"), "%zz%4");
    EXPECT_EQ(form_value("na%6De=x", "name"), "x");
    EXPECT_EQ(form_value("", "code"), std::nullopt);
    EXPECT_EQ(form_value("codes=1", "code"), std::nullopt);
}

TEST(Pairing, LinksForEveryNetworkAddress)
{
    config cfg;
    cfg.port = 8880;
    cfg.lan_addresses = {"192.168.1.20", "10.0.0.7"};
    EXPECT_EQ(pairing_links(cfg, "c0de"), (std::vector<std::string>{"http://192.168.1.20:8880/#pair=c0de",
                                                                    "http://10.0.0.7:8880/#pair=c0de"}));
    cfg.lan_addresses.clear();
    EXPECT_TRUE(pairing_links(cfg, "c0de").empty());
}

}  // namespace
