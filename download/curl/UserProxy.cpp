#include "download/curl/UserProxy.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <pacparser.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/UniqueFd.h"

namespace korvane {

namespace {

using TClock = std::chrono::steady_clock;

// A PAC script larger than this is no PAC script.
constexpr std::size_t kMaxPacScriptSize = 1 << 20;
// What the settings' automatic mode asks for when they name no script: the WPAD address.
constexpr const char* kWpadAddress = "http://wpad/wpad.dat";

struct TGFree {
    void operator()(void* AMemory) const { g_free(AMemory); }
};
struct TGStrvFree {
    void operator()(gchar** AStrings) const { g_strfreev(AStrings); }
};
struct TGObjectUnref {
    void operator()(void* AObject) const { g_object_unref(AObject); }
};
struct TKeyFileFree {
    void operator()(GKeyFile* AFile) const { g_key_file_free(AFile); }
};
struct TCurlFree {
    void operator()(char* AText) const { curl_free(AText); }
};
struct TUrlCleanup {
    void operator()(CURLU* AUrl) const { curl_url_cleanup(AUrl); }
};
struct TEasyCleanup {
    void operator()(CURL* AEasy) const { curl_easy_cleanup(AEasy); }
};

// What the desktop's settings say, whichever desktop keeps them.
struct TDesktopSettings {
    enum class TMode { None, Manual, Automatic };
    TMode Mode = TMode::None;
    std::string HttpsProxy;  // manual: "host:port"
    std::string HttpProxy;
    std::vector<std::string> NoProxy;  // manual: hosts reached directly
    std::string ScriptAddress;         // automatic: the PAC script's address
};

std::string Text(std::unique_ptr<gchar, TGFree> AText) {
    return AText ? std::string(AText.get()) : std::string();
}

// "host:port" of a GNOME proxy schema's child (org.gnome.system.proxy.https, ...); empty for none.
std::string GnomeHostAndPort(GSettings* AProxy, const char* AScheme) {
    const std::unique_ptr<GSettings, TGObjectUnref> child(g_settings_get_child(AProxy, AScheme));
    const std::string host =
        Text(std::unique_ptr<gchar, TGFree>(g_settings_get_string(child.get(), "host")));
    const int port = g_settings_get_int(child.get(), "port");
    return host.empty() || port <= 0 ? std::string() : host + ":" + std::to_string(port);
}

// GNOME's settings (org.gnome.system.proxy), through the session's GSettings back-end; nullopt
// when the schema is not installed.
std::optional<TDesktopSettings> GnomeSettings() {
    GSettingsSchemaSource* const source = g_settings_schema_source_get_default();
    if (source == nullptr) {
        return std::nullopt;
    }
    GSettingsSchema* const schema =
        g_settings_schema_source_lookup(source, "org.gnome.system.proxy", TRUE);
    if (schema == nullptr) {
        return std::nullopt;
    }
    g_settings_schema_unref(schema);
    const std::unique_ptr<GSettings, TGObjectUnref> proxy(g_settings_new("org.gnome.system.proxy"));
    TDesktopSettings settings;
    const std::string mode =
        Text(std::unique_ptr<gchar, TGFree>(g_settings_get_string(proxy.get(), "mode")));
    if (mode == "manual") {
        settings.Mode = TDesktopSettings::TMode::Manual;
        settings.HttpProxy = GnomeHostAndPort(proxy.get(), "http");
        settings.HttpsProxy = GnomeHostAndPort(proxy.get(), "https");
        const std::unique_ptr<gchar*, TGStrvFree> ignored(
            g_settings_get_strv(proxy.get(), "ignore-hosts"));
        for (gchar** host = ignored.get(); host != nullptr && *host != nullptr; ++host) {
            settings.NoProxy.emplace_back(*host);
        }
    } else if (mode == "auto") {
        settings.Mode = TDesktopSettings::TMode::Automatic;
        settings.ScriptAddress = Text(
            std::unique_ptr<gchar, TGFree>(g_settings_get_string(proxy.get(), "autoconfig-url")));
    }
    return settings;
}

// A KDE proxy as kioslaverc writes it, "http://host port" or "http://host:port", as "host:port".
std::string KdeHostAndPort(std::string AValue) {
    if (const auto scheme = AValue.find("://"); scheme != std::string::npos) {
        AValue.erase(0, scheme + 3);
    }
    std::replace(AValue.begin(), AValue.end(), ' ', ':');
    return AValue;
}

// KDE's settings, in the [Proxy Settings] group of kioslaverc; nullopt when the session is not
// KDE's.
std::optional<TDesktopSettings> KdeSettings() {
    const char* const desktop = std::getenv("XDG_CURRENT_DESKTOP");
    if (desktop == nullptr || std::string_view(desktop).find("KDE") == std::string_view::npos) {
        return std::nullopt;
    }
    const std::unique_ptr<GKeyFile, TKeyFileFree> file(g_key_file_new());
    const std::unique_ptr<gchar, TGFree> path(
        g_build_filename(g_get_user_config_dir(), "kioslaverc", nullptr));
    TDesktopSettings settings;
    if (!g_key_file_load_from_file(file.get(), path.get(), G_KEY_FILE_NONE, nullptr)) {
        return settings;
    }
    constexpr const char* kGroup = "Proxy Settings";
    const auto value = [&](const char* AKey) {
        return Text(std::unique_ptr<gchar, TGFree>(
            g_key_file_get_value(file.get(), kGroup, AKey, nullptr)));
    };
    // 1: manual, 2: a script's address, 3: WPAD; 0 none, 4 the environment's.
    switch (g_key_file_get_integer(file.get(), kGroup, "ProxyType", nullptr)) {
        case 1: {
            settings.Mode = TDesktopSettings::TMode::Manual;
            settings.HttpProxy = KdeHostAndPort(value("httpProxy"));
            settings.HttpsProxy = KdeHostAndPort(value("httpsProxy"));
            const std::unique_ptr<gchar*, TGStrvFree> hosts(
                g_strsplit(value("NoProxyFor").c_str(), ",", -1));
            for (gchar** host = hosts.get(); host != nullptr && *host != nullptr; ++host) {
                if (**host != '\0') {
                    settings.NoProxy.emplace_back(g_strstrip(*host));
                }
            }
            break;
        }
        case 2:
            settings.Mode = TDesktopSettings::TMode::Automatic;
            settings.ScriptAddress = value("Proxy Config Script");
            break;
        case 3:
            settings.Mode = TDesktopSettings::TMode::Automatic;
            break;
        default:
            break;
    }
    return settings;
}

// Appends what libcurl receives to a string, up to kMaxPacScriptSize.
std::size_t OnScript(char* AData, std::size_t ASize, std::size_t ACount, void* AScript) {
    auto& script = *static_cast<std::string*>(AScript);
    const std::size_t count = ASize * ACount;
    if (script.size() + count > kMaxPacScriptSize) {
        return 0;  // ends the transfer with an error
    }
    script.append(AData, count);
    return count;
}

// The PAC script at `AAddress`, fetched directly by `ADeadline`; nullopt when it cannot be.
std::optional<std::string> FetchScript(const std::string& AAddress, TClock::time_point ADeadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now());
    const std::unique_ptr<CURL, TEasyCleanup> easy(curl_easy_init());
    if (!easy || left.count() <= 0) {
        return std::nullopt;
    }
    std::string script;
    CURL* const handle = easy.get();
    // Through no proxy: the script is what would name one.
    if (curl_easy_setopt(handle, CURLOPT_URL, AAddress.c_str()) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_PROXY, "") != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count())) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnScript) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &script) != CURLE_OK ||
        curl_easy_perform(handle) != CURLE_OK) {
        return std::nullopt;
    }
    return script;
}

// Runs `AScript`'s FindProxyForURL for `AUrl` on `AHost` by `ADeadline`; nullopt when it fails
// or takes longer. A script can loop for ever, and the JavaScript engine cannot be stopped from
// outside: it runs in a child process of its own, which is killed at the deadline.
std::optional<std::string> RunScript(const std::string& AScript, const std::string& AUrl,
                                     const std::string& AHost, TClock::time_point ADeadline) {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    platform::UniqueFd reader(ends[0]);
    platform::UniqueFd writer(ends[1]);
    const pid_t child = ::fork();
    if (child < 0) {
        return std::nullopt;
    }
    if (child == 0) {
        // The child only runs the script, writes the answer and ends, with nothing of the
        // parent's run at its exit.
        reader.Reset();
        pacparser_init();
        const char* answer = pacparser_parse_pac_string(AScript.c_str()) != 0
                                 ? pacparser_find_proxy(AUrl.c_str(), AHost.c_str())
                                 : nullptr;
        const bool written =
            answer != nullptr && ::write(writer.Get(), answer, std::strlen(answer)) >= 0;
        ::_exit(written ? 0 : 1);
    }
    writer.Reset();
    std::string answer;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now());
        pollfd ready{.fd = reader.Get(), .events = POLLIN, .revents = 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            return std::nullopt;
        }
        char buffer[512];
        const ssize_t count = ::read(reader.Get(), buffer, sizeof buffer);
        if (count <= 0) {
            break;
        }
        answer.append(buffer, static_cast<std::size_t>(count));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return answer;
}

// The lower-case scheme and the host of `AUrl`; nullopt when it does not read.
std::optional<std::pair<std::string, std::string>> SchemeAndHost(const std::string& AUrl) {
    const std::unique_ptr<CURLU, TUrlCleanup> url(curl_url());
    char* scheme = nullptr;
    char* host = nullptr;
    if (!url || curl_url_set(url.get(), CURLUPART_URL, AUrl.c_str(), 0) != CURLUE_OK ||
        curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const std::unique_ptr<char, TCurlFree> ownedScheme(scheme);
    if (curl_url_get(url.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    const std::unique_ptr<char, TCurlFree> ownedHost(host);
    return std::pair(std::string(scheme), std::string(host));
}

// GNOME's "*.example.com" is libcurl's "example.com", which takes in the subdomains too.
std::string CurlNoProxy(const std::vector<std::string>& AHosts) {
    std::string list;
    for (std::string host : AHosts) {
        if (host.starts_with("*.")) {
            host.erase(0, 2);
        }
        list += (list.empty() ? "" : ",") + host;
    }
    return list;
}

}  // namespace

std::string EnvironmentProxy(std::string_view AScheme) {
    const auto https = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    const auto http = {"http_proxy", "all_proxy", "ALL_PROXY"};
    for (const char* name : AScheme == "https" ? https : http) {
        if (const char* const value = std::getenv(name); value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

bool CarriesCredentials(const std::string& AProxy) {
    const std::unique_ptr<CURLU, TUrlCleanup> url(curl_url());
    char* user = nullptr;
    if (!url ||
        curl_url_set(url.get(), CURLUPART_URL, AProxy.c_str(),
                     CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        curl_url_get(url.get(), CURLUPART_USER, &user, 0) != CURLUE_OK) {
        return false;
    }
    const std::unique_ptr<char, TCurlFree> owned(user);
    return *user != '\0';
}

std::string FirstPacProxy(std::string_view AAnswer) {
    std::string_view first = AAnswer.substr(0, AAnswer.find(';'));
    const auto blank = [](char ACharacter) { return ACharacter == ' ' || ACharacter == '\t'; };
    while (!first.empty() && blank(first.front())) {
        first.remove_prefix(1);
    }
    while (!first.empty() && blank(first.back())) {
        first.remove_suffix(1);
    }
    const std::size_t space = first.find(' ');
    if (space == std::string_view::npos) {
        return {};  // DIRECT, or nothing that reads
    }
    const std::string_view kind = first.substr(0, space);
    std::string_view where = first.substr(space + 1);
    while (!where.empty() && blank(where.front())) {
        where.remove_prefix(1);
    }
    if (where.empty() || where.find_first_of(" \t/") != std::string_view::npos) {
        return {};
    }
    for (const auto& [name, scheme] :
         {std::pair{"PROXY", "http://"}, std::pair{"HTTP", "http://"},
          std::pair{"HTTPS", "https://"}, std::pair{"SOCKS", "socks4://"},
          std::pair{"SOCKS4", "socks4://"}, std::pair{"SOCKS5", "socks5h://"}}) {
        if (kind == name) {
            return scheme + std::string(where);
        }
    }
    return {};
}

std::optional<TDesktopProxy> DesktopProxyFor(const std::string& AUrl) {
    std::optional<TDesktopSettings> settings = KdeSettings();
    if (!settings) {
        settings = GnomeSettings();
    }
    const auto url = SchemeAndHost(AUrl);
    if (!settings || !url) {
        return std::nullopt;
    }
    const auto& [scheme, host] = *url;
    switch (settings->Mode) {
        case TDesktopSettings::TMode::None:
            return std::nullopt;
        case TDesktopSettings::TMode::Manual: {
            const std::string& proxy =
                scheme == "https" ? settings->HttpsProxy : settings->HttpProxy;
            return TDesktopProxy{.Proxy = proxy.empty() ? std::string() : "http://" + proxy,
                                 .NoProxy = CurlNoProxy(settings->NoProxy)};
        }
        case TDesktopSettings::TMode::Automatic: {
            const TClock::time_point deadline = TClock::now() + kPacTimeLimit;
            const std::string address =
                settings->ScriptAddress.empty() ? kWpadAddress : settings->ScriptAddress;
            const std::optional<std::string> script = FetchScript(address, deadline);
            const std::optional<std::string> answer =
                script ? RunScript(*script, AUrl, host, deadline) : std::nullopt;
            return TDesktopProxy{.Proxy = answer ? FirstPacProxy(*answer) : std::string(),
                                 .NoProxy = {}};
        }
    }
    return std::nullopt;
}

}  // namespace korvane
