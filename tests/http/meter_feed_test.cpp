#include "app/http/meter_feed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <numbers>
#include <thread>
#include <variant>

#include "app/standard_modules.h"
#include "broadcast/sound_out_settings.h"
#include "engine/wav_file.h"
#include "measure/analyser.h"
#include "measure/analyser_settings.h"
#include "tests/engine/fake_driver.h"
#include "tests/support/json_reader.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

// Level readings need the engine to keep real time: a late block on the timer-driven
// virtual device repeats or drops audio, and the discontinuity reads as a louder
// true peak. Under the sanitizers the engine runs several times slower, so the
// level checks there only ask for the right neighbourhood.
#if defined(__SANITIZE_ADDRESS__)
constexpr double slack = 3.0;
#else
constexpr double slack = 1.0;
#endif

using testing::JsonValue;

JsonValue parse(const std::string& text) {
    JsonValue out = testing::parse_json(text);
    EXPECT_FALSE(out.is_null()) << text.substr(0, 400);
    return out;
}

bool eventually(const std::function<bool()>& condition, double seconds = 10.0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    return condition();
}

constexpr uint32_t sound_in_page = 0;
constexpr uint32_t player_page = 1;
constexpr uint32_t sound_out_page = 4;
constexpr uint32_t analyser_page = 7;
constexpr double full_scale = 2147483648.0;

class MeterFeedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        options_.home = temp_ / "home";
        options_.autostart_dir = temp_ / "autostart";
        options_.program = "/usr/bin/torvalen";
        options_.start_devices = true;
        options_.drivers = &drivers_;  // no sound cards: the virtual device plays the input
        options_.watch_hotplug = false;
        options_.device.frame_size = 256;
        options_.device.input = temp_ / "tone.wav";
        write_tone(options_.device.input, -6.0);
    }
    // One second of a 1 kHz sine at `level_dB` (dBFS), looped by the virtual device.
    static void write_tone(const std::filesystem::path& file, double level_dB) {
        std::string error;
        auto writer = WavWriter::create(file, 48000, error);
        ASSERT_TRUE(writer) << error;
        const double amplitude = full_scale * std::pow(10.0, level_dB / 20.0);
        std::vector<float> samples(2 * 48000);
        for (size_t i = 0; i < 48000; ++i)
            samples[2 * i] = samples[2 * i + 1] =
                static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * 1000.0 * i / 48000.0));
        ASSERT_TRUE(writer->write(samples));
        ASSERT_TRUE(writer->close());
    }
    std::unique_ptr<Application> start() {
        std::string error;
        auto app = Application::start(options_, modules_, error);
        EXPECT_TRUE(app) << error;
        return app;
    }
    // Polls the feed like the event stream does until `accept` takes an event.
    JsonValue wait_event(http::MeterFeed& feed, Application& app, const std::function<bool(const JsonValue&)>& accept) {
        JsonValue last;
        eventually([&] {
            const std::string text = feed.meters_event(*app.current(), app, app.current()->page_index());
            if (text.empty()) return false;
            last = parse(text);
            return accept(last);
        });
        return last;
    }

    testing::TempDir temp_{"torvalen-meterfeed"};
    AppOptions options_;
    testing::FakeDriverSystem drivers_;
    // The player's lists go to the test's folder, not the user's data folder.
    StandardModules modules_{StandardModuleOptions{temp_ / "data", false}};
};

size_t item_count(const JsonValue& layout) {
    size_t n = 0;
    for (const JsonValue& g : layout["groups"].arr()) n += g["items"].arr().size();
    return n;
}

TEST_F(MeterFeedTest, ProcessorLayoutFollowsTheTable) {
    auto app = start();
    ASSERT_TRUE(app);
    Instance& instance = *app->current();
    http::MeterFeed feed;
    const JsonValue layout = parse(feed.layout_json(instance, processor_page));
    const auto& groups = layout["groups"].arr();
    // "Torvalen One": eight meter groups, then the equaliser's graph group.
    ASSERT_EQ(groups.size(), 9u);
    for (size_t g = 0; g < 8; ++g) EXPECT_EQ(groups[g]["kind"].num(), 3) << g;
    EXPECT_EQ(groups[8]["kind"].num(), 2);
    EXPECT_EQ(groups[0]["name"].str(), "Input");
    EXPECT_EQ(groups[2]["name"].str(), "Compressor");
    EXPECT_EQ(groups[8]["name"].str(), "Equalization");
    EXPECT_EQ(groups[1]["items"].arr().size(), 1u);  // one AGC meter
    EXPECT_EQ(groups[4]["items"][2]["name"].str(), "M2");
    EXPECT_EQ(groups[4]["items"][2]["count"].num(), 6);
    double values = 0;
    for (const JsonValue& g : groups)
        for (const JsonValue& item : g["items"].arr()) values += item["count"].num();
    EXPECT_EQ(values, 76);
    // Defaults: the layout's range, hold 8 ticks, decay 0.02.
    EXPECT_EQ(groups[0]["range"].num(), 40);
    EXPECT_EQ(groups[2]["range"].num(), 20);
    EXPECT_EQ(groups[2]["hold"].num(), 8);
    EXPECT_NEAR(groups[2]["decay"].num(), 0.02, 1e-6);

    // "Torvalen 5" has two AGC meters and 77 values.
    ASSERT_TRUE(instance.change_processor_type(processor_five));
    feed.forget(&instance);
    const JsonValue five = parse(feed.layout_json(instance, processor_page));
    EXPECT_EQ(five["groups"][1]["items"].arr().size(), 2u);
    EXPECT_EQ(five["groups"][1]["items"][1]["name"].str(), "MH");
    EXPECT_EQ(item_count(five), 25u);
}

TEST_F(MeterFeedTest, PagesWithoutMetersAndOtherLayouts) {
    auto app = start();
    ASSERT_TRUE(app);
    Instance& instance = *app->current();
    http::MeterFeed feed;
    EXPECT_EQ(feed.layout_json(instance, player_page), "null");
    // The link's pages meter what they send and receive, Stream TX what goes to
    // its encoders: one level item.
    for (uint32_t page : {2u, 5u, 6u}) EXPECT_EQ(item_count(parse(feed.layout_json(instance, page))), 1u) << page;
    const JsonValue in = parse(feed.layout_json(instance, sound_in_page));
    ASSERT_EQ(in["groups"].arr().size(), 1u);
    EXPECT_EQ(in["groups"][0]["name"].str(), "Input");
    EXPECT_EQ(in["groups"][0]["items"][0]["name"].str(), "Lvl");
    EXPECT_EQ(in["groups"][0]["items"][0]["kind"].num(), 5);
    EXPECT_EQ(in["groups"][0]["items"][0]["count"].num(), 6);
    const JsonValue out = parse(feed.layout_json(instance, sound_out_page));
    double values = 0;
    for (const JsonValue& g : out["groups"].arr())
        for (const JsonValue& item : g["items"].arr()) values += item["count"].num();
    EXPECT_EQ(values, 18);
    const JsonValue analyser = parse(feed.layout_json(instance, analyser_page));
    EXPECT_EQ(item_count(analyser), 1u);
}

TEST_F(MeterFeedTest, SoundInMetersFollowTheSignal) {
    auto app = start();
    ASSERT_TRUE(app);
    Instance& instance = *app->current();
    ASSERT_TRUE(instance.select_page(sound_in_page));
    http::MeterFeed feed;
    // A -6 dBFS sine on a 40 dB meter: its peak sits 6/40 of the height down.
    const JsonValue e = wait_event(feed, *app, [](const JsonValue& e) {
        return e["tick"].num() >= 5 && e["items"][0]["bars"][0][2].num() < 0.5;
    });
    ASSERT_FALSE(e.is_null());
    EXPECT_EQ(e["instance"].str(), instance.name());
    EXPECT_EQ(e["page"].num(), 0);
    ASSERT_EQ(e["items"].arr().size(), 1u);
    const JsonValue& item = e["items"][0];
    for (int ch = 0; ch < 2; ++ch) {
        const auto& bars = item["bars"][ch].arr();
        ASSERT_EQ(bars.size(), 3u);
        EXPECT_NEAR(bars[2].num(), 6.0 / 40.0, 0.03 * slack) << "true peak";
        // RMS of a sine is 3 dB below its peak: lower on the meter.
        EXPECT_GT(bars[0].num(), bars[2].num() + 0.04) << "RMS";
        EXPECT_LE(bars[1].num(), bars[0].num()) << "envelope between RMS and peak";
        EXPECT_NEAR(item["peak"][ch].num(), bars[2].num(), 0.03 * slack);
    }
    // The device status is the status line of this page.
    ASSERT_EQ(e["status"].arr().size(), 1u);
    EXPECT_NE(e["status"][0].str().find("Virtual device"), std::string::npos);
    EXPECT_GE(e["cpu"].num(), 0.0);
}

TEST_F(MeterFeedTest, ProcessorMetersHaveEveryItemOfTheLayout) {
    auto app = start();
    ASSERT_TRUE(app);
    Instance& instance = *app->current();
    ASSERT_TRUE(instance.select_page(processor_page));
    http::MeterFeed feed;
    const size_t items = item_count(parse(feed.layout_json(instance, processor_page)));
    ASSERT_EQ(items, 24u);
    // The output level meter comes alive once the chain passes the tone.
    const JsonValue e = wait_event(feed, *app, [](const JsonValue& e) {
        return !e["items"].is_null() && e["items"].arr().size() == 24 && e["items"][19]["bars"][0][2].num() < 0.9;
    });
    ASSERT_EQ(e["items"].arr().size(), items);
    EXPECT_TRUE(e["items"][1].has("gate"));              // AGC
    EXPECT_TRUE(e["items"][12].has("marker"));           // Band-Limiter B, six values
    EXPECT_EQ(e["items"][12]["bars"].arr().size(), 2u);  // two channels of three layers
    EXPECT_EQ(e["items"][12]["bars"][0].arr().size(), 3u);
    ASSERT_EQ(e["items"][20]["eq"].arr().size(), 4u);     // GraphQ_#1: f, Q, gain - 1, rate
    EXPECT_GT(e["items"][20]["eq"][0].num(), 0.0);
    EXPECT_LT(e["items"][19]["bars"][0][2].num(), 0.9);   // Output level
    const double tick = e["tick"].num();
    EXPECT_GE(tick, 1);
    // Without new values the tick stays; with them it moves on.
    const JsonValue later = wait_event(feed, *app, [&](const JsonValue& x) { return x["tick"].num() > tick; });
    EXPECT_GT(later["tick"].num(), tick);
}

TEST_F(MeterFeedTest, SoundOutStatusLines) {
    auto app = start();
    ASSERT_TRUE(app);
    Instance& instance = *app->current();
    ASSERT_TRUE(instance.select_page(sound_out_page));
    http::MeterFeed feed;
    const JsonValue e = wait_event(feed, *app, [](const JsonValue& e) { return e["tick"].num() >= 2; });
    ASSERT_FALSE(e["status"].is_null());
    ASSERT_GE(e["status"].arr().size(), 1u);
    EXPECT_EQ(e["status"][0].str(), "RDS & MPX not available");  // 48 kHz output
    ASSERT_EQ(e["items"].arr().size(), 6u);
    EXPECT_EQ(e["items"][1]["bars"].arr().size(), 2u);  // loudness twice
    const std::string loudness = e["items"][1]["text"].str();  // the window with the number
    EXPECT_NE(loudness.find(" LUFS (400 ms)"), std::string::npos) << loudness;
    EXPECT_NE(e["items"][4]["text"].str().find(" kHz"), std::string::npos);
    EXPECT_EQ(e["items"][4]["bars"].arr().size(), 2u);  // deviation L, R
    EXPECT_FALSE(e.has("injection"));  // no multiplex at 48 kHz

    // The injection read-out: full scale deviates 75 kHz; the RDS list runs 6.0 ... 2.0 kHz.
    broadcast::SoundOutParams p = broadcast::default_sound_out_params();
    EXPECT_EQ(http::injection_text(p), "Pilot 9.0 % (6.75 kHz), RDS 3.5 kHz (4.7 %)");
    p.stereo = 0;
    p.rds_amp = 8;
    EXPECT_EQ(http::injection_text(p), "Pilot off (mono), RDS 2.0 kHz (2.7 %)");
    p.rds_enable = 0;
    EXPECT_EQ(http::injection_text(p), "Pilot off (mono), RDS off");
}

TEST_F(MeterFeedTest, NoInstanceNoEvent) {
    auto app = start();
    ASSERT_TRUE(app);
    http::MeterFeed feed;
    ASSERT_TRUE(app->current()->select_page(player_page));
    const JsonValue e = parse(feed.meters_event(*app->current(), *app, player_page));
    EXPECT_TRUE(e["items"].is_null());
}

TEST_F(MeterFeedTest, GroupSettingsAreCheckedAndPersist) {
    {
        auto app = start();
        ASSERT_TRUE(app);
        Instance& instance = *app->current();
        http::MeterFeed feed;
        CommandResult r = feed.set_group(instance, processor_page, 2, 10.0f, 16u, 0.04f);
        EXPECT_TRUE(r.ok) << r.message;
        r = feed.set_group(instance, processor_page, 0, 80.0f, std::nullopt, std::nullopt);
        EXPECT_TRUE(r.ok) << r.message;
        // Refused: a group past the layout, a decay the store cannot carry, a bad range,
        // a page without meters.
        EXPECT_FALSE(feed.set_group(instance, processor_page, 9, 10.0f, std::nullopt, std::nullopt).ok);
        EXPECT_FALSE(feed.set_group(instance, processor_page, 99, std::nullopt, 4u, std::nullopt).ok);
        EXPECT_FALSE(feed.set_group(instance, processor_page, 1, std::nullopt, std::nullopt, 0.03f).ok);
        EXPECT_FALSE(feed.set_group(instance, processor_page, 1, -5.0f, std::nullopt, std::nullopt).ok);
        EXPECT_FALSE(feed.set_group(instance, player_page, 0, 10.0f, std::nullopt, std::nullopt).ok);
        EXPECT_TRUE(feed.set_group(instance, sound_in_page, 0, 160.0f, 2u, 0.005f).ok);
        // Applied at once to this feed's layout.
        const JsonValue layout = parse(feed.layout_json(instance, processor_page));
        EXPECT_EQ(layout["groups"][2]["range"].num(), 10);
        const JsonValue refused = parse(feed.layout_json(instance, processor_page));
        EXPECT_EQ(refused["groups"][1]["range"].num(), 40);  // the refused range left it alone
        app->exit();
    }
    auto app = start();
    ASSERT_TRUE(app);
    http::MeterFeed feed;  // a new feed reads them from the store
    const JsonValue layout = parse(feed.layout_json(*app->current(), processor_page));
    EXPECT_EQ(layout["groups"][2]["range"].num(), 10);
    EXPECT_EQ(layout["groups"][2]["hold"].num(), 16);
    EXPECT_NEAR(layout["groups"][2]["decay"].num(), 0.04, 1e-6);
    EXPECT_EQ(layout["groups"][0]["range"].num(), 80);
    EXPECT_EQ(layout["groups"][0]["hold"].num(), 8);
    EXPECT_EQ(layout["groups"][3]["range"].num(), 20);
    const JsonValue in = parse(feed.layout_json(*app->current(), sound_in_page));
    EXPECT_EQ(in["groups"][0]["range"].num(), 160);
    EXPECT_EQ(in["groups"][0]["hold"].num(), 2);
    EXPECT_NEAR(in["groups"][0]["decay"].num(), 0.005, 1e-6);
}

TEST_F(MeterFeedTest, RangeChangesThePositions) {
    auto app = start();
    ASSERT_TRUE(app);
    Instance& instance = *app->current();
    ASSERT_TRUE(instance.select_page(sound_in_page));
    http::MeterFeed feed;
    ASSERT_TRUE(feed.set_group(instance, sound_in_page, 0, 10.0f, std::nullopt, std::nullopt).ok);
    const JsonValue e = wait_event(feed, *app, [](const JsonValue& e) {
        return e["tick"].num() >= 5 && e["items"][0]["bars"][0][2].num() < 0.9;
    });
    EXPECT_NEAR(e["items"][0]["bars"][0][2].num(), 6.0 / 10.0, 0.05 * slack);
}

TEST_F(MeterFeedTest, AnalyserFramesAndMeters) {
    auto app = start();
    ASSERT_TRUE(app);
    Instance& instance = *app->current();
    auto* analyser = dynamic_cast<measure::Analyser*>(instance.analyser());
    ASSERT_TRUE(analyser);
    ASSERT_TRUE(analyser->set_value(measure::control_input_select, 0));  // Sound In
    ASSERT_TRUE(analyser->set_value(measure::control_input_enable, 1));
    ASSERT_TRUE(instance.select_page(analyser_page));
    http::MeterFeed feed;
    JsonValue frame;
    ASSERT_TRUE(eventually([&] {
        feed.meters_event(instance, *app, analyser_page);  // takes the level values the frame carries
        const std::string text = feed.analyser_event(instance);
        if (text.empty()) return false;
        frame = parse(text);
        // The first frames may be the clear of the enable; wait for an analysed one.
        return frame["meters"].arr().size() == 6 && frame["rate"].num() > 0 && frame["meters"][0].num() > -100;
    }));
    EXPECT_EQ(frame["instance"].str(), instance.name());
    EXPECT_EQ(frame["rate"].num(), 48000);
    const auto columns = static_cast<size_t>(frame["columns"].num());
    ASSERT_GT(columns, 0u);
    ASSERT_LE(columns, 1024u);
    ASSERT_EQ(frame["high"].arr().size(), 2u);
    EXPECT_EQ(frame["high"][0].arr().size(), columns);
    EXPECT_NEAR(frame["meters"][0].num(), -6.0, 1.0 * slack);  // true peak of the -6 dBFS tone
    EXPECT_EQ(frame["f_low"].num(), 10);                 // the whole axis up to half the rate
    EXPECT_EQ(frame["f_high"].num(), 24000);
    if (frame["mode"].str() == "spectrum") {
        EXPECT_TRUE(frame["low"].is_null());
        // Some column holds the 1 kHz tone well above the floor.
        double top = -1000;
        for (const JsonValue& c : frame["high"][0].arr()) top = std::max(top, c.num());
        EXPECT_GT(top, -20.0);
    } else {
        EXPECT_EQ(frame["low"][0].arr().size(), columns);
    }
}

TEST_F(MeterFeedTest, AnalyserDisplayChangesApplyAndPersist) {
    {
        auto app = start();
        ASSERT_TRUE(app);
        Instance& instance = *app->current();
        http::MeterFeed feed;
        EXPECT_EQ(parse(feed.analyser_display_json(instance))["mode"].str(), "spectrum");
        http::AnalyserDisplayChange change;
        change.mode = 0;  // waveform
        change.y_zoom = 4.0f;
        change.x_offset = 0.25f;
        CommandResult r = feed.set_analyser_display(instance, change);
        ASSERT_TRUE(r.ok) << r.message;
        // Refused, nothing applied: zoom below 1, an unknown mode, too many columns,
        // an upside-down axis.
        http::AnalyserDisplayChange bad;
        bad.y_zoom = 0.5f;
        bad.mode = 1;
        EXPECT_FALSE(feed.set_analyser_display(instance, bad).ok);
        bad = {};
        bad.mode = 2;
        EXPECT_FALSE(feed.set_analyser_display(instance, bad).ok);
        bad = {};
        bad.columns = 1025;
        EXPECT_FALSE(feed.set_analyser_display(instance, bad).ok);
        bad = {};
        bad.low_Hz = 1000.0f;
        bad.high_Hz = 100.0f;
        EXPECT_FALSE(feed.set_analyser_display(instance, bad).ok);
        const JsonValue d = parse(feed.analyser_display_json(instance));
        EXPECT_EQ(d["mode"].str(), "wave");
        EXPECT_EQ(d["wave"]["y_zoom"].num(), 4);
        EXPECT_EQ(d["wave"]["x_offset"].num(), 0.25);
        EXPECT_EQ(d["spectrum"]["y_zoom"].num(), 1);

        // The frames follow: waveform columns as many as asked for.
        auto* analyser = dynamic_cast<measure::Analyser*>(instance.analyser());
        ASSERT_TRUE(analyser);
        ASSERT_TRUE(analyser->set_value(measure::control_input_select, 0));
        ASSERT_TRUE(analyser->set_value(measure::control_input_enable, 1));
        ASSERT_TRUE(instance.select_page(analyser_page));
        http::AnalyserDisplayChange view;
        view.columns = 300;
        view.low_Hz = 100.0f;
        view.high_Hz = 10000.0f;
        ASSERT_TRUE(feed.set_analyser_display(instance, view).ok);
        JsonValue frame;
        ASSERT_TRUE(eventually([&] {
            const std::string text = feed.analyser_event(instance);
            if (text.empty()) return false;
            frame = parse(text);
            return frame["mode"].str() == "wave" && frame["columns"].num() == 300 && frame["rate"].num() > 0;
        }));
        ASSERT_EQ(frame["low"].arr().size(), 2u);
        ASSERT_EQ(frame["low"][0].arr().size(), 300u);
        double top = 0;
        for (const JsonValue& c : frame["high"][0].arr()) top = std::max(top, c.num());
        EXPECT_NEAR(top, 0.5, 0.05 * slack);  // the -6 dBFS sine's crest
        EXPECT_EQ(frame["display"]["mode"].str(), "wave");

        // Back to the spectrum: the columns cover the range asked for.
        http::AnalyserDisplayChange spectrum;
        spectrum.mode = 1;
        ASSERT_TRUE(feed.set_analyser_display(instance, spectrum).ok);
        ASSERT_TRUE(eventually([&] {
            const std::string text = feed.analyser_event(instance);
            if (text.empty()) return false;
            frame = parse(text);
            return frame["mode"].str() == "spectrum";
        }));
        EXPECT_EQ(frame["f_low"].num(), 100);
        EXPECT_EQ(frame["f_high"].num(), 10000);
        EXPECT_EQ(frame["high"][1].arr().size(), 300u);
        EXPECT_TRUE(frame["low"].is_null());
        app->exit();
    }
    auto app = start();
    ASSERT_TRUE(app);
    http::MeterFeed feed;
    const JsonValue d = parse(feed.analyser_display_json(*app->current()));
    EXPECT_EQ(d["mode"].str(), "spectrum");  // the last one chosen
    EXPECT_EQ(d["wave"]["y_zoom"].num(), 4);
    EXPECT_EQ(d["wave"]["x_offset"].num(), 0.25);
}

}  // namespace
}  // namespace torvalen
