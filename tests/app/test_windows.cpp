// What the updater asks of Windows itself, below Qt: the single-instance
// mutex and the version record with the icon that Explorer shows.
#include "app/SingleInstance.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winver.h>

#include <string>
#include <vector>

namespace {

TEST(SingleInstance, TheFirstHolderKeepsTheMarkerForItsWholeLife)
{
    const std::string name = "Orvanta Updater test " + std::to_string(GetCurrentProcessId());
    EXPECT_FALSE(orvanta::AnotherInstanceRuns(name.c_str()));
    // A second start, seen from this process: the marker is held.
    EXPECT_TRUE(orvanta::AnotherInstanceRuns(name.c_str()));
    EXPECT_FALSE(orvanta::AnotherInstanceRuns((name + " other").c_str()));
}

std::wstring VersionText(const std::vector<char>& info, const wchar_t* field)
{
    void* pValue = nullptr;
    UINT nChars = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\041203b5\\") + field;
    if (!VerQueryValueW(info.data(), path.c_str(), &pValue, &nChars) || nChars == 0)
        return L"(missing)";
    return std::wstring(static_cast<const wchar_t*>(pValue), nChars - 1);
}

TEST(Resources, VersionRecordIsKoreanAndOneZeroZeroOne)
{
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    DWORD nHandle = 0;
    const DWORD nSize = GetFileVersionInfoSizeW(path, &nHandle);
    ASSERT_GT(nSize, 0u);
    std::vector<char> info(nSize);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, nSize, info.data()));

    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT nLength = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &nLength));
    EXPECT_EQ(pFixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(pFixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(pFixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(pFixed->dwProductVersionLS, 0x00000001u);

    WORD* pTranslation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation),
                               &nLength));
    ASSERT_GE(nLength, 4u);
    EXPECT_EQ(pTranslation[0], 0x0412);  // Korean
    EXPECT_EQ(pTranslation[1], 949);

    EXPECT_EQ(VersionText(info, L"FileVersion"), L"1, 0, 0, 1");
    EXPECT_EQ(VersionText(info, L"ProductVersion"), L"1, 0, 0, 1");
    EXPECT_EQ(VersionText(info, L"InternalName"), L"Updater");
    EXPECT_EQ(VersionText(info, L"OriginalFilename"), L"Updater.EXE");
    EXPECT_EQ(VersionText(info, L"FileDescription"), L"Orvanta Online \uC5C5\uB370\uC774\uD130");  // 업데이터

    EXPECT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(130), MAKEINTRESOURCEW(14)), nullptr);  // RT_GROUP_ICON
    EXPECT_NE(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(130), IMAGE_ICON, 48, 48, 0), nullptr);
}

} // namespace
