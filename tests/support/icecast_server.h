// A real icecast2 for tests and benchmarks: its own configuration (source
// password "hackme", admin "admin"/"adminpw"), logs and loopback port.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace torvalen::testing {

// An icecast2 with its own configuration, logs and port.
class IcecastServer {
public:
    IcecastServer(const std::filesystem::path& dir, uint16_t port, unsigned sources = 8) : dir_(dir), port_(port) {
        std::filesystem::create_directories(dir / "log");
        // Run as root, icecast2 changes to the user nobody, who must reach its logs.
        std::filesystem::permissions(dir.parent_path(), std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
        std::filesystem::permissions(dir, std::filesystem::perms::all);
        std::filesystem::permissions(dir / "log", std::filesystem::perms::all);
        std::ofstream c(dir / "icecast.xml");
        c << "<icecast><location>test</location><admin>test@localhost</admin>"
             "<limits><clients>20</clients><sources>" << sources << "</sources><queue-size>524288</queue-size>"
             "<client-timeout>30</client-timeout><header-timeout>5</header-timeout>"
             "<source-timeout>5</source-timeout><burst-on-connect>1</burst-on-connect>"
             "<burst-size>65535</burst-size></limits>"
             "<authentication><source-password>hackme</source-password>"
             "<relay-password>hackme</relay-password><admin-user>admin</admin-user>"
             "<admin-password>adminpw</admin-password></authentication>"
             "<hostname>127.0.0.1</hostname>"
             "<listen-socket><port>"
          << port << "</port><bind-address>127.0.0.1</bind-address></listen-socket>"
          << "<fileserve>1</fileserve><paths><basedir>/usr/share/icecast2</basedir>"
             "<logdir>"
          << (dir / "log").string()
          << "</logdir><webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot>"
             "</paths><logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
             "<loglevel>3</loglevel></logging><security><chroot>0</chroot>";
        if (::geteuid() == 0)
            c << "<changeowner><user>nobody</user><group>nogroup</group></changeowner>";
        c << "</security></icecast>\n";
    }
    ~IcecastServer() { stop(); }

    bool start() {
        const std::string conf = (dir_ / "icecast.xml").string();
        std::vector<char*> argv = {const_cast<char*>("icecast2"), const_cast<char*>("-c"), const_cast<char*>(conf.c_str()),
                                   nullptr};
        if (::posix_spawnp(&pid_, "icecast2", nullptr, nullptr, argv.data(), environ) != 0) return false;
        for (int i = 0; i < 100; ++i) {
            if (port_open(port_)) {
                // It binds its port before it opens its logs: make sure it stayed up.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return ::waitpid(pid_, nullptr, WNOHANG) == 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        for (int i = 0; i < 100 && port_open(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string url(const std::string& mount) const { return "http://127.0.0.1:" + std::to_string(port_) + mount; }
    std::string log() const { return read_file(dir_ / "log" / "error.log"); }

private:
    std::filesystem::path dir_;
    uint16_t port_;
    pid_t pid_ = -1;
};

}  // namespace torvalen::testing
