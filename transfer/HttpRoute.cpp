#include "transfer/HttpRoute.h"

#include "patch/Cp949.h"
#include "patch/HttpSource.h"

CHttpRoute::CHttpRoute(std::string base, std::int32_t nVersion) : m_base(std::move(base)), m_nVersion(nVersion) {}

std::optional<std::string> CHttpRoute::UrlFor(const std::string& remotePath) const
{
    if (m_bOff)
        return std::nullopt;
    bool bOk = false;
    const std::string path = orvanta::Cp949ToUtf8(remotePath, &bOk);
    if (!bOk)
        return std::nullopt;
    const std::string_view whole(path);
    const std::size_t nSlash = whole.rfind('/');
    const std::string_view folder = nSlash == std::string_view::npos ? std::string_view() : whole.substr(0, nSlash);
    const std::string_view name = nSlash == std::string_view::npos ? whole : whole.substr(nSlash + 1);
    // curl resolves dot segments: one would climb out of the version's
    // folder, so such a path is not asked for.
    const std::string segments = "/" + path + "/";
    if (name.empty() || segments.find("/../") != std::string::npos || segments.find("/./") != std::string::npos)
        return std::nullopt;
    return orvanta::HttpSourceUrl(m_base, m_nVersion, folder, name);
}
