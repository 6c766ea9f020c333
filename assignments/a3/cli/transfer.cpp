// Files to and from remote hosts: see transfer.h.

#include "transfer.h"

#include "remote.h"

#include <cstdlib>
#include <cstring>

namespace fanrun_cli {

namespace {

// True when path has a ".." component.
bool climbs(std::string_view path) {
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (path.substr(start, end - start) == "..") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string_view withoutLeadingSlashes(std::string_view path) {
    while (!path.empty() && path.front() == '/') {
        path.remove_prefix(1);
    }
    return path;
}

} // namespace

bool routeOf(std::string_view name, FileRoute &route, std::string &message) {
    route = FileRoute{};
    route.name = std::string(name);
    if (name.empty()) {
        message = "an empty file name cannot be moved to a host";
        return false;
    }
    std::string_view path = name;
    const size_t dot = name.find("/./");
    if (dot != std::string_view::npos) {
        route.local = dot == 0 ? "/" : std::string(name.substr(0, dot));
        path = name.substr(dot + 3);
    } else if (name.front() == '/') {
        route.local = "/";
        route.absolute = true;
    } else {
        route.local = ".";
    }
    path = withoutLeadingSlashes(path);
    if (path.empty() || climbs(path)) {
        message = "'" + route.name + "' cannot be moved to a host: " +
                  (path.empty() ? "it names no file" : "a '..' in it would land elsewhere there");
        return false;
    }
    route.member = "./" + std::string(path);
    return true;
}

bool freshWorkdir(const char *option) {
    return option != nullptr && strcmp(option, "...") == 0;
}

std::string remoteWorkdir(const char *option, const std::string &cwd, const char *home,
                          const std::string &unique) {
    if (option == nullptr) {
        return {};
    }
    const std::string_view given = option;
    if (given == "...") {
        return ".fanrun/tmp/" + unique;
    }
    if (given == ".") {
        const std::string_view base = home != nullptr ? home : "";
        const std::string_view here = cwd;
        if (base.size() > 1 && here.substr(0, base.size()) == base &&
            (here.size() == base.size() || here[base.size()] == '/')) {
            const std::string_view below = withoutLeadingSlashes(here.substr(base.size()));
            return below.empty() ? std::string() : std::string(below);
        }
        return cwd;
    }
    if (given.substr(0, 2) == "~/") {
        return std::string(withoutLeadingSlashes(given.substr(2)));
    }
    return std::string(given == "~" ? "" : given);
}

std::string localWorkdir(const char *option, const char *home, const std::string &unique) {
    if (option == nullptr || strcmp(option, ".") == 0) {
        return {};
    }
    const std::string base = home != nullptr && home[0] != '\0' ? home : "/tmp";
    const std::string_view given = option;
    if (given == "...") {
        return base + "/.fanrun/tmp/" + unique;
    }
    if (given == "~" || given.substr(0, 2) == "~/") {
        return base + std::string(given.substr(1));
    }
    return std::string(given);
}

std::string localWorkdirScript(const std::string &workdir, bool fresh, const std::string &code) {
    const std::string dir = remoteQuote(workdir);
    const std::string enter = "mkdir -p -- " + dir + " && cd -- " + dir + " || exit 1\n";
    if (!fresh) {
        return enter + code;
    }
    return enter + "bash -c " + remoteQuote(code) + "\ns=$?\ncd / && rm -rf -- " + dir +
           "\nexit \"$s\"\n";
}

std::string inWorkdir(const std::string &workdir, const std::string &code) {
    if (workdir.empty()) {
        return code;
    }
    const std::string dir = remoteQuote(workdir);
    return "mkdir -p -- " + dir + " && cd -- " + dir + " && " + code;
}

std::string envCode(const std::vector<const char *> &names) {
    std::string code;
    for (const char *name : names) {
        const std::string function = std::string("BASH_FUNC_") + name + "%%";
        if (const char *body = getenv(function.c_str()); body != nullptr) {
            // bash exports a function as its text from "()": the name before it defines it.
            code += std::string(name) + ' ' + body + "\nexport -f " + name + '\n';
        }
        if (const char *value = getenv(name); value != nullptr) {
            code += std::string("export ") + name + '=' + remoteQuote(value) + '\n';
        }
    }
    return code;
}

std::string remotePath(const FileRoute &route, const std::string &workdir) {
    if (route.absolute) {
        return route.member.substr(1); // "./a/b" from / is /a/b
    }
    return workdir.empty() ? route.member : workdir + "/" + route.member.substr(2);
}

std::string shellWords(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &word : words) {
        if (!text.empty()) {
            text += ' ';
        }
        text += remoteQuote(word);
    }
    return text;
}

std::string transferScript(const HostFiles &files, const std::string &remote) {
    const std::string ssh = shellWords(files.ssh);
    const std::string host = remoteQuote(files.host);
    std::string script = "set -o pipefail\ns=0\n";
    for (const FileRoute &route : files.sends) {
        const std::string there =
            route.absolute ? "tar -xf - -C /" : inWorkdir(files.workdir, "tar -xf -");
        script.append("tar -cf - -C ")
            .append(remoteQuote(route.local))
            .append(" ")
            .append(remoteQuote(route.member))
            .append(" | ")
            .append(ssh)
            .append(" ")
            .append(remoteQuote(there))
            .append(" >&2 || { s=$?; printf 'fanrun: cannot copy %s to %s (exit %d)\\n' ")
            .append(remoteQuote(route.name))
            .append(" ")
            .append(host)
            .append(" \"$s\" >&2; exit \"$s\"; }\n");
    }
    if (!remote.empty()) {
        script += ssh + ' ' + remoteQuote(remote) + "\ns=$?\n[ \"$s\" = 255 ] && exit 255\n";
    }
    for (const FileRoute &route : files.returns) {
        const std::string there =
            route.absolute
                ? "tar -cf - -C / " + remoteQuote(route.member)
                : (files.workdir.empty() ? std::string()
                                         : "cd -- " + remoteQuote(files.workdir) + " && ") +
                      "tar -cf - " + remoteQuote(route.member);
        script.append(ssh)
            .append(" ")
            .append(remoteQuote(there))
            .append(" </dev/null | tar -xf - -C ")
            .append(remoteQuote(route.local))
            .append(" || { r=$?; printf 'fanrun: cannot fetch %s from %s (exit %d)\\n' ")
            .append(remoteQuote(route.name))
            .append(" ")
            .append(host)
            .append(" \"$r\" >&2; [ \"$s\" = 0 ] && s=$r; }\n");
    }
    std::vector<std::string> removed;
    for (const FileRoute &route : files.removals) {
        removed.push_back(remotePath(route, files.workdir));
    }
    if (files.fresh && !files.workdir.empty()) {
        removed.push_back(files.workdir);
    }
    if (!removed.empty()) {
        script += ssh + ' ' + remoteQuote("rm -rf -- " + shellWords(removed)) +
                  " </dev/null || { r=$?; printf 'fanrun: cannot remove the command'\\''s files "
                  "on %s (exit %d)\\n' " +
                  host + " \"$r\" >&2; [ \"$s\" = 0 ] && s=$r; }\n";
    }
    script += "exit \"$s\"\n";
    return script;
}

} // namespace fanrun_cli
