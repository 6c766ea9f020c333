// Files to and from remote hosts, their working directories and variables, --onall and
// --nonall. In process: where a named file goes (its route) and the remote working directory.
// End to end: whole runs over real sshd hosts started by tests/ssh/hosts.sh, each with a home of
// its own (a mount namespace: /root there is a folder of the test's), the files' bytes read back
// from those homes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fanrun_run.h"
#include "transfer.h"

namespace {

using namespace fanrun_cli;
using namespace fanrun_run;

// ---- The pure parts --------------------------------------------------------------------------

TEST(TransferRoutes, ANameLandsWhereGnuParallelUsersExpectIt) {
    struct Case {
        std::string name;
        std::string route; // local|member|absolute, or "! message"
    };
    const std::vector<Case> cases = {
        {"a", ".|./a|0"},
        {"-n", ".|./-n|0"},
        {"sub/dir/f x", ".|./sub/dir/f x|0"},
        {"/tmp/d/f", "/|./tmp/d/f|1"},
        {"//tmp/f", "/|./tmp/f|1"},
        {"in/./out/f", "in|./out/f|0"},
        {"/abs/./rel", "/abs|./rel|0"},
        {"/./x", "/|./x|0"},
        {"a\nb'c\xff", ".|./a\nb'c\xff|0"},
        {"..x/y..", ".|./..x/y..|0"},
        {"", "! an empty file name cannot be moved to a host"},
        {"../up", "! '../up' cannot be moved to a host: a '..' in it would land elsewhere there"},
        {"a/../b", "! 'a/../b' cannot be moved to a host: a '..' in it would land elsewhere there"},
        {"x/./", "! 'x/./' cannot be moved to a host: it names no file"},
        {"/", "! '/' cannot be moved to a host: it names no file"},
    };
    for (const Case &c : cases) {
        FileRoute route;
        std::string message;
        const bool routed = routeOf(c.name, route, message);
        EXPECT_EQ(routed ? route.local + "|" + route.member + "|" + (route.absolute ? "1" : "0")
                         : "! " + message,
                  c.route)
            << c.name;
    }
}

TEST(TransferRoutes, TheRemoteWorkingDirectoryFollowsTheOption) {
    struct Case {
        const char *option;
        std::string cwd;
        const char *home;
        std::string workdir;
    };
    const std::vector<Case> cases = {
        {nullptr, "/root/x", "/root", ""},
        {"...", "/root/x", "/root", ".fanrun/tmp/u-1"},
        {".", "/root/x/y", "/root", "x/y"},
        {".", "/root", "/root", ""},
        {".", "/rootless/x", "/root", "/rootless/x"}, // not below home
        {".", "/srv/x", nullptr, "/srv/x"},
        {".", "/srv/x", "/", "/srv/x"},
        {"~/w d", "/", "/root", "w d"},
        {"~", "/", "/root", ""},
        {"/abs", "/", "/root", "/abs"},
        {"rel/d", "/", "/root", "rel/d"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(remoteWorkdir(c.option, c.cwd, c.home, "u-1"), c.workdir)
            << (c.option != nullptr ? c.option : "(none)") << " in " << c.cwd;
    }
    FileRoute route;
    std::string message;
    ASSERT_TRUE(routeOf("d/f", route, message));
    EXPECT_EQ(remotePath(route, ""), "./d/f");
    EXPECT_EQ(remotePath(route, "w"), "w/d/f");
    ASSERT_TRUE(routeOf("/t/f", route, message));
    EXPECT_EQ(remotePath(route, "w"), "/t/f");
    EXPECT_EQ(inWorkdir("", "true"), "true");
    EXPECT_EQ(inWorkdir("a'b", "true"), "mkdir -p -- 'a'\\''b' && cd -- 'a'\\''b' && true");
}

} // namespace
