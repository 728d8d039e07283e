#include "app/http/web_server.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include "app/http/api.h"
#include "app/standard_modules.h"
#include "tests/support/json_reader.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

TEST(ListenAddress, ParsesHostAndPortAndRefusesTheRest) {
    http::ListenAddress a;
    std::string error;
    ASSERT_TRUE(http::parse_listen_address("127.0.0.1:8080", a, error));
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 8080);
    ASSERT_TRUE(http::parse_listen_address("[::1]:0", a, error));
    EXPECT_EQ(a.host, "::1");
    EXPECT_EQ(a.port, 0);
    for (const char* bad : {"8080", "127.0.0.1", ":80", "host:99999", "host:8x", "::1:80", "[::1]80", ""})
        EXPECT_FALSE(http::parse_listen_address(bad, a, error)) << bad;
    EXPECT_TRUE(http::is_loopback_host("127.0.0.1"));
    EXPECT_TRUE(http::is_loopback_host("127.1.2.3"));
    EXPECT_TRUE(http::is_loopback_host("::1"));
    EXPECT_TRUE(http::is_loopback_host("localhost"));
    EXPECT_FALSE(http::is_loopback_host("0.0.0.0"));
    EXPECT_FALSE(http::is_loopback_host("192.168.1.10"));
    EXPECT_FALSE(http::is_loopback_host("example.org"));
}

class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        ui_ = temp_ / "ui";
        std::filesystem::create_directories(ui_);
        std::ofstream(ui_ / "index.html") << "<!doctype html><title>Torvalen</title>";
        options_.home = temp_ / "home";
        options_.autostart_dir = temp_ / "autostart";
        options_.program = "/usr/bin/torvalen";
        options_.start_devices = false;
        std::string error;
        control_.run([&] { app_ = Application::start(options_, factory_, error); });
        ASSERT_TRUE(app_) << error;
        api_ = std::make_unique<http::Api>(control_, *app_, http::ApiOptions{});
        server_ = http::WebServer::start(*api_, {"127.0.0.1", 0}, ui_, error);
        ASSERT_TRUE(server_) << error;
    }
    void TearDown() override {
        server_.reset();
        control_.run([&] {
            api_.reset();
            if (app_) app_->exit();
            app_.reset();
        });
    }

    testing::TempDir temp_{"torvalen-web"};
    std::filesystem::path ui_;
    AppOptions options_;
    StandardModules factory_;
    ControlThread control_;
    std::unique_ptr<Application> app_;
    std::unique_ptr<http::Api> api_;
    std::unique_ptr<http::WebServer> server_;
};

TEST_F(WebServerTest, ServesTheFrontEndAndTheApiOnLoopback) {
    httplib::Client client("127.0.0.1", server_->port());
    auto index = client.Get("/");
    ASSERT_TRUE(index);
    EXPECT_EQ(index->status, 200);
    EXPECT_NE(index->body.find("Torvalen"), std::string::npos);
    EXPECT_EQ(index->get_header_value("X-Frame-Options"), "DENY");

    auto state = client.Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->status, 200);
    EXPECT_EQ(state->get_header_value("Cache-Control"), "no-store");
    EXPECT_EQ(testing::parse_json(state->body)["current"].str(), "Instance 1");

    // A form-encoded command goes through; a foreign page's does not.
    auto made = client.Post("/api/instance/new", "name=Second", "application/x-www-form-urlencoded");
    ASSERT_TRUE(made);
    EXPECT_EQ(made->body, R"({"ok":true})");
    httplib::Headers foreign = {{"Origin", "http://attacker.example"}};
    auto refused = client.Post("/api/instance/new", foreign, "name=Third", "application/x-www-form-urlencoded");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);

    // A name that resolves to loopback but is not this server (DNS rebinding) is refused.
    httplib::Headers rebound = {{"Host", "attacker.example:" + std::to_string(server_->port())}};
    auto rebinding = client.Get("/api/state", rebound);
    ASSERT_TRUE(rebinding);
    EXPECT_EQ(rebinding->status, 403);
    EXPECT_EQ(client.Get("/api/nothing")->status, 404);
}

TEST_F(WebServerTest, AServerStoppedRightAfterItStartedEnds) {
    // A stop signal can come as soon as the program has started: the server must
    // end even when its listener had not begun to listen.
    server_.reset();
    for (int i = 0; i < 50; ++i) {
        std::string error;
        auto server = http::WebServer::start(*api_, {"127.0.0.1", 0}, ui_, error);
        ASSERT_TRUE(server) << error;
    }
}

TEST_F(WebServerTest, TheEventStreamSendsStateAndMeters) {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_read_timeout(5, 0);
    std::string received;
    auto response = client.Get("/api/events", [&](const char* data, size_t length) {
        received.append(data, length);
        // Enough once a state event and two meter events came.
        size_t meters = 0;
        for (size_t at = 0; (at = received.find("event: meters", at)) != std::string::npos; ++at) ++meters;
        return !(received.find("event: state") != std::string::npos && meters >= 2);
    });
    EXPECT_NE(received.find("retry: 2000"), std::string::npos);
    EXPECT_NE(received.find("event: state\ndata: {\"version\":"), std::string::npos);
    const size_t meters = received.find("event: meters\ndata: ");
    ASSERT_NE(meters, std::string::npos);
    const size_t start = meters + 20;
    const auto event = testing::parse_json(received.substr(start, received.find("\n\n", start) - start));
    EXPECT_EQ(event["instance"].str(), "Instance 1");
    EXPECT_EQ(event["page"].num(), 3);
}

}  // namespace
}  // namespace torvalen
