#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

// The web server a session tries before its FTP server (the publisher's
// HTTP source), shared by the session's connections. The first failure
// that is the web server's turns it off for every connection at once, for
// the rest of the session: the FTP server is the way back, and a source
// that failed once is not tried again file after file.
class CHttpRoute final {
public:
    // base: a checked base URL (orvanta::HttpSourceBase); nVersion: the
    // release the patch server announced, whose folder is read.
    CHttpRoute(std::string base, std::int32_t nVersion);

    // The URL of a server path (the wire's CP949 bytes), or nothing once
    // the source is off or the path has no UTF-8 form.
    std::optional<std::string> UrlFor(const std::string& remotePath) const;
    // True for the one call that turned the source off.
    bool TurnOff() { return !m_bOff.exchange(true); }
    const std::string& Base() const { return m_base; }

private:
    const std::string m_base;
    const std::int32_t m_nVersion;
    std::atomic<bool> m_bOff{false};
};
