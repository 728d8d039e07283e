#include "app/style_settings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/http/json.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

std::vector<std::byte> bytes_of(std::initializer_list<int> values) {
    std::vector<std::byte> out;
    for (int v : values) out.push_back(static_cast<std::byte>(v));
    return out;
}

class StyleSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        open_store();
    }

    void open_store() {
        persist_ = {};
        store_.reset();
        std::string error;
        store_ = SettingsStore::open(temp_ / "settings.db", error);
        ASSERT_TRUE(store_) << error;
        auto software = store_->root().create("Software");
        ASSERT_TRUE(software);
        auto torv3 = software->create("Torv3");
        ASSERT_TRUE(torv3);
        auto persist = torv3->create("Persist");
        ASSERT_TRUE(persist);
        persist_ = *persist;
    }

    SettingsKey key(const char* name) {
        auto k = persist_.create(name);
        EXPECT_TRUE(k);
        return k ? *k : SettingsKey{};
    }

    testing::TempDir temp_{"style_settings_test"};
    std::unique_ptr<SettingsStore> store_;
    SettingsKey persist_;
};

TEST(StyleColor, HexConversionsKeepRedInTheLowestByte) {
    EXPECT_EQ(color_rgb(0x12, 0x34, 0x56), 0x563412u);
    EXPECT_EQ(color_to_hex(0xA04310), "#1043a0");
    EXPECT_EQ(color_to_hex(0x000000FF), "#ff0000");
    EXPECT_EQ(color_to_hex(0xFF000000), "#000000") << "the unused top byte is ignored";
    EXPECT_EQ(color_from_hex("#1043a0"), std::optional<ColorRef>(0xA04310));
    EXPECT_EQ(color_from_hex("#FF0000"), std::optional<ColorRef>(0x0000FF));
    EXPECT_FALSE(color_from_hex("1043a0"));
    EXPECT_FALSE(color_from_hex("#1043a"));
    EXPECT_FALSE(color_from_hex("#1043a00"));
    EXPECT_FALSE(color_from_hex("#10 3a0"));
    EXPECT_FALSE(color_from_hex("#gg0000"));
    EXPECT_FALSE(color_from_hex(""));
}

TEST(StyleFont, PointsAndHeights) {
    EXPECT_EQ(font_height_of_points(7), -9);
    EXPECT_EQ(font_height_of_points(9), -12);
    EXPECT_EQ(font_height_of_points(10), -13);
    EXPECT_EQ(font_height_of_points(28), -37);
    for (int points = 1; points <= 200; ++points) {
        EXPECT_EQ(font_points_of_height(font_height_of_points(points)), points) << points;
    }
    EXPECT_EQ(font_points_of_height(12), 9) << "a positive (cell) height counts the same";
    EXPECT_EQ(font_points_of_height(0), 0);
}

TEST(StyleFont, RecordByteLayout) {
    FontRecord font;
    font.height = -13;
    font.width = 5;
    font.escapement = 900;
    font.orientation = -900;
    font.weight = 700;
    font.italic = 1;
    font.underline = 2;
    font.strike_out = 3;
    font.char_set = 4;
    font.out_precision = 5;
    font.clip_precision = 6;
    font.quality = 7;
    font.pitch_and_family = 8;
    ASSERT_TRUE(font.set_face("Arial"));
    const auto bytes = font.to_bytes();
    ASSERT_EQ(bytes.size(), 60u);
    EXPECT_EQ(std::vector<std::byte>(bytes.begin(), bytes.begin() + 20),
              bytes_of({0xF3, 0xFF, 0xFF, 0xFF, 5, 0, 0, 0, 0x84, 0x03, 0, 0, 0x7C, 0xFC, 0xFF, 0xFF, 0xBC, 0x02, 0, 0}));
    EXPECT_EQ(std::vector<std::byte>(bytes.begin() + 20, bytes.begin() + 28), bytes_of({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(std::vector<std::byte>(bytes.begin() + 28, bytes.begin() + 34), bytes_of({'A', 'r', 'i', 'a', 'l', 0}));
    for (size_t i = 34; i < 60; ++i) EXPECT_EQ(bytes[i], std::byte{0}) << i;
    EXPECT_EQ(FontRecord::from_bytes(bytes), font);
    EXPECT_EQ(font.points(), 10);

    EXPECT_FALSE(font.set_face(std::string(32, 'x'))) << "no room for the terminating NUL";
    EXPECT_EQ(font.face(), "Arial") << "a refused face leaves the old one";
    EXPECT_TRUE(font.set_face(std::string(31, 'x')));
    EXPECT_EQ(font.face(), std::string(31, 'x'));
}

TEST_F(StyleSettingsTest, DefaultsWhenNothingIsStored) {
    const StyleSettings style = StyleSettings::load(persist_);
    EXPECT_EQ(style, StyleSettings{});
    EXPECT_FALSE(persist_.open("COLORS")) << "loading creates nothing";
    EXPECT_FALSE(persist_.open("FONTS"));

    EXPECT_EQ(style.color("Background"), std::optional<ColorRef>(0x4E4E4E));
    EXPECT_EQ(color_to_hex(*style.color("Title")), "#1043a0");
    EXPECT_EQ(color_to_hex(*style.color("Tab_Highlighted")), "#2ea5de");
    EXPECT_EQ(color_to_hex(*style.color("MeterBarLevel3")), "#ff0000");
    EXPECT_EQ(color_to_hex(*style.color("DivPen")), "#85bdeb");
    EXPECT_FALSE(style.color("Nonsense"));

    const char* custom[16] = {"#ff0000", "#00ff00", "#0000ff", "#ffff00", "#00ffff", "#ff00ff",
                              "#ff0000", "#00ff00", "#0000ff", "#ffff00", "#00ffff", "#ff00ff",
                              "#ffffff", "#c0c0c0", "#404040", "#000000"};
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(color_to_hex(style.custom[i]), custom[i]) << i;

    const int heights[4] = {-9, -12, -13, -37};
    const int weights[4] = {400, 400, 700, 700};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(style.fonts[i].face(), "calibri");
        EXPECT_EQ(style.fonts[i].height, heights[i]) << StyleSettings::font_names[i];
        EXPECT_EQ(style.fonts[i].weight, weights[i]) << StyleSettings::font_names[i];
        EXPECT_EQ(style.fonts[i].italic, 0);
    }
}

TEST_F(StyleSettingsTest, SaveWritesTheStoredLayout) {
    ASSERT_TRUE(StyleSettings{}.save(persist_));
    auto colors = persist_.open("COLORS");
    auto fonts = persist_.open("FONTS");
    ASSERT_TRUE(colors && fonts);

    EXPECT_EQ(colors->value_names().size(), 26u);
    uint32_t dword = 0;
    ASSERT_TRUE(colors->read_dword("Title", dword));
    EXPECT_EQ(dword, 0xA04310u);
    ASSERT_TRUE(colors->read_dword("MeterBarLevel3", dword));
    EXPECT_EQ(dword, 0x0000FFu) << "red sits in the lowest byte";

    std::vector<std::byte> custom;
    ASSERT_TRUE(colors->read_binary("Colors", custom));
    ASSERT_EQ(custom.size(), 64u);
    EXPECT_EQ(std::vector<std::byte>(custom.begin(), custom.begin() + 12),
              bytes_of({0xFF, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0xFF, 0}));
    EXPECT_EQ(std::vector<std::byte>(custom.end() - 8, custom.end()), bytes_of({0x40, 0x40, 0x40, 0, 0, 0, 0, 0}));

    std::vector<std::byte> large;
    ASSERT_TRUE(fonts->read_binary("LargeFont", large));
    ASSERT_EQ(large.size(), 60u);
    EXPECT_EQ(std::vector<std::byte>(large.begin(), large.begin() + 4), bytes_of({0xDB, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(std::vector<std::byte>(large.begin() + 16, large.begin() + 20), bytes_of({0xBC, 0x02, 0, 0}));
    EXPECT_EQ(std::vector<std::byte>(large.begin() + 28, large.begin() + 36),
              bytes_of({'c', 'a', 'l', 'i', 'b', 'r', 'i', 0}));
    for (const char* name : StyleSettings::font_names) {
        EXPECT_EQ(fonts->value_type(name), std::optional(ValueType::Binary)) << name;
    }
}

TEST_F(StyleSettingsTest, RoundTripThroughTheStore) {
    StyleSettings style;
    ASSERT_TRUE(style.apply_field("color.Background", "#102030"));
    ASSERT_TRUE(style.apply_field("color.GratPen", "#ABCDEF"));
    ASSERT_TRUE(style.apply_field("custom.15", "#123456"));
    ASSERT_TRUE(style.apply_field("font.TitleFont.face", "DejaVu Sans"));
    ASSERT_TRUE(style.apply_field("font.TitleFont.points", "14"));
    ASSERT_TRUE(style.apply_field("font.SmallFont.weight", "600"));
    style.fonts[3].italic = 1;  // fields the interface does not edit survive as well
    style.fonts[3].char_set = 238;
    ASSERT_TRUE(style.save(persist_));

    open_store();  // a fresh connection reads what was committed
    const StyleSettings loaded = StyleSettings::load(persist_);
    EXPECT_EQ(loaded, style);
    EXPECT_EQ(color_to_hex(*loaded.color("Background")), "#102030");
    EXPECT_EQ(color_to_hex(*loaded.color("GratPen")), "#abcdef");
    EXPECT_EQ(color_to_hex(loaded.custom[15]), "#123456");
    EXPECT_EQ(loaded.fonts[2].face(), "DejaVu Sans");
    EXPECT_EQ(loaded.fonts[2].points(), 14);
    EXPECT_EQ(loaded.fonts[2].height, -19);
    EXPECT_EQ(loaded.fonts[0].weight, 600);
    EXPECT_EQ(loaded.fonts[3].italic, 1);
    EXPECT_EQ(loaded.fonts[3].char_set, 238);

    // Saving again overwrites in place.
    StyleSettings second = loaded;
    second.colors[0] = 0x0000FF;
    ASSERT_TRUE(second.save(persist_));
    EXPECT_EQ(StyleSettings::load(persist_).colors[0], 0x0000FFu);
}

TEST_F(StyleSettingsTest, WrongSizeOrTypeKeepsTheDefaultValueByValue) {
    SettingsKey colors = key("COLORS");
    SettingsKey fonts = key("FONTS");
    ASSERT_TRUE(colors.write_qword("Background", 0x123456));         // wrong type and size
    ASSERT_TRUE(colors.write_binary("Foreground", bytes_of({1, 2, 3, 4})));  // right size, wrong type
    ASSERT_TRUE(colors.write_dword("Title", 0x00FF00));              // good
    ASSERT_TRUE(colors.write_binary("Colors", std::vector<std::byte>(63, std::byte{0x11})));

    FontRecord small = StyleSettings::default_font(0);
    small.set_face("Arial");
    small.weight = 900;
    const auto small_bytes = small.to_bytes();
    ASSERT_TRUE(fonts.write_binary("SmallFont", std::span<const std::byte>(small_bytes.data(), 59)));
    FontRecord medium = StyleSettings::default_font(1);
    medium.set_face("Verdana");
    ASSERT_TRUE(fonts.write_binary("MediumFont", medium.to_bytes()));
    std::vector<std::byte> long_record(small_bytes.begin(), small_bytes.end());
    long_record.push_back(std::byte{0});
    ASSERT_TRUE(fonts.write_binary("TitleFont", long_record));
    ASSERT_TRUE(fonts.write_dword("LargeFont", 5));

    const StyleSettings style = StyleSettings::load(persist_);
    EXPECT_EQ(style.colors[0], 0x4E4E4Eu);
    EXPECT_EQ(style.colors[1], 0x808080u);
    EXPECT_EQ(style.colors[3], 0x00FF00u);
    EXPECT_EQ(style.custom, StyleSettings::default_custom);
    EXPECT_EQ(style.fonts[0], StyleSettings::default_font(0));
    EXPECT_EQ(style.fonts[1].face(), "Verdana");
    EXPECT_EQ(style.fonts[2], StyleSettings::default_font(2));
    EXPECT_EQ(style.fonts[3], StyleSettings::default_font(3));

    // The good custom-colour value in its 64 bytes is read.
    std::vector<std::byte> custom(64, std::byte{0});
    custom[4 * 7 + 2] = std::byte{0x80};  // custom colour 7: blue 0x80
    ASSERT_TRUE(colors.write_binary("Colors", custom));
    const StyleSettings again = StyleSettings::load(persist_);
    EXPECT_EQ(color_to_hex(again.custom[7]), "#000080");
    EXPECT_EQ(again.custom[0], 0u);
}

TEST(StyleFields, AcceptedFields) {
    StyleSettings style;
    EXPECT_TRUE(style.apply_field("color.Tab_Active", "#010203"));
    EXPECT_EQ(style.colors[8], 0x030201u);
    EXPECT_TRUE(style.apply_field("custom.0", "#ffffff"));
    EXPECT_EQ(style.custom[0], 0xFFFFFFu);
    EXPECT_TRUE(style.apply_field("font.LargeFont.points", "36"));
    EXPECT_EQ(style.fonts[3].height, -48);
    EXPECT_TRUE(style.apply_field("font.MediumFont.face", "Liberation Sans"));
    EXPECT_EQ(style.fonts[1].face(), "Liberation Sans");
    EXPECT_TRUE(style.apply_field("font.MediumFont.weight", "1000"));
    EXPECT_EQ(style.fonts[1].weight, 1000);
}

TEST(StyleFields, BadFieldsAreRefusedAndChangeNothing) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"color.Nonsense", "#000000"},
        {"color.background", "#000000"},
        {"color.", "#000000"},
        {"Background", "#000000"},
        {"color.Background", "#00000"},
        {"color.Background", "000000"},
        {"color.Background", "#00000g"},
        {"color.Background", ""},
        {"custom.16", "#000000"},
        {"custom.-1", "#000000"},
        {"custom.", "#000000"},
        {"custom.1x", "#000000"},
        {"custom.3", "red"},
        {"font.HugeFont.face", "Arial"},
        {"font.SmallFont", "Arial"},
        {"font.SmallFont.size", "7"},
        {"font.SmallFont.face", ""},
        {"font.SmallFont.face", std::string(32, 'a')},
        {"font.SmallFont.face", "Ar\"ial"},
        {"font.SmallFont.face", "Arial;color:red"},
        {"font.SmallFont.face", " Arial"},
        {"font.SmallFont.face", "Ari\nal"},
        {"font.SmallFont.points", "0"},
        {"font.SmallFont.points", "201"},
        {"font.SmallFont.points", "7.5"},
        {"font.SmallFont.points", "-7"},
        {"font.SmallFont.points", ""},
        {"font.SmallFont.weight", "0"},
        {"font.SmallFont.weight", "1001"},
        {"font.SmallFont.weight", "bold"},
        {"", ""},
    };
    for (const auto& [field, value] : bad) {
        StyleSettings style;
        EXPECT_FALSE(style.apply_field(field, value)) << field << " = " << value;
        EXPECT_EQ(style, StyleSettings{}) << field << " = " << value;
    }
}

TEST(StyleFields, ApplyFieldsIsAllOrNothing) {
    StyleSettings style;
    const std::multimap<std::string, std::string> mixed = {
        {"color.Background", "#111111"}, {"font.SmallFont.points", "12"}, {"custom.99", "#222222"}};
    EXPECT_FALSE(style.apply_fields(mixed));
    EXPECT_EQ(style, StyleSettings{});

    const std::multimap<std::string, std::string> good = {{"color.Background", "#111111"},
                                                          {"font.SmallFont.points", "12"}};
    EXPECT_TRUE(style.apply_fields(good));
    EXPECT_EQ(style.colors[0], 0x111111u);
    EXPECT_EQ(style.fonts[0].points(), 12);
}

TEST(StyleJson, WritesTheStateObject) {
    StyleSettings style;
    style.apply_field("color.Foreground", "#0a0b0c");
    http::Json json;
    json.begin_object().key("style");
    style.write_json(json);
    json.end_object();
    const std::string& text = json.str();
    EXPECT_TRUE(text.starts_with(R"({"style":{"colors":{"Background":"#4e4e4e","Foreground":"#0a0b0c",)")) << text;
    EXPECT_NE(text.find(R"("DivPen":"#85bdeb"})"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("custom":["#ff0000","#00ff00","#0000ff",)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("#c0c0c0","#404040","#000000"])"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("fonts":{"SmallFont":{"face":"calibri","points":7,"weight":400},)"
                        R"("MediumFont":{"face":"calibri","points":9,"weight":400},)"
                        R"("TitleFont":{"face":"calibri","points":10,"weight":700},)"
                        R"("LargeFont":{"face":"calibri","points":28,"weight":700}}}})"),
              std::string::npos)
        << text;
    size_t colors = 0;
    for (size_t at = text.find("\":\"#"); at != std::string::npos; at = text.find("\":\"#", at + 1)) ++colors;
    EXPECT_EQ(colors, 25u);
}

}  // namespace
}  // namespace torvalen
