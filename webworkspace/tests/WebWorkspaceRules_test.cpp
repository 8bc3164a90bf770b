#include "webworkspace/WebWorkspaceRules.h"

#include <gtest/gtest.h>

namespace korvid::webworkspace {
namespace {

constexpr std::string_view kOrigin = "https://app.korvid.cn";
constexpr std::string_view kLocal = "http://127.0.0.1:8421";

TEST(WebWorkspaceEntry, EachKindOpensItsPage)
{
    auto company = entryFor(kOrigin, "home", "c-1", "snap", "batch");
    ASSERT_TRUE(company);
    EXPECT_EQ(company->url, "https://app.korvid.cn/desktop-company.html?company=c-1");
    EXPECT_EQ(company->signedResource, "Company");

    auto review = entryFor(kLocal, "home", std::nullopt, "S-1", "B-2");
    ASSERT_TRUE(review);
    EXPECT_EQ(review->url, "http://127.0.0.1:8421/desktop-wechat-review.html?snapshot=S-1&batch=B-2");
    EXPECT_EQ(review->signedResource, "WechatReview");
    EXPECT_EQ(entryFor(kLocal, "", std::nullopt, "S-1", std::nullopt)->url,
        "http://127.0.0.1:8421/desktop-wechat-review.html?snapshot=S-1&batch");

    auto route = entryFor(kOrigin, "library/ai", std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(route);
    EXPECT_EQ(route->url, "https://app.korvid.cn/index.html#library/ai");
    EXPECT_FALSE(route->signedResource);
}

TEST(WebWorkspaceEntry, EncodesWhatTheURLCannotHoldAndRefusesABadOrigin)
{
    EXPECT_EQ(entryFor(kOrigin, "a b#c%d/?e", std::nullopt, std::nullopt, std::nullopt)->url,
        "https://app.korvid.cn/index.html#a%20b%23c%25d/?e");
    EXPECT_EQ(entryFor(kOrigin, "", "公司&x=1+2#", std::nullopt, std::nullopt)->url,
        "https://app.korvid.cn/desktop-company.html?company=%E5%85%AC%E5%8F%B8%26x%3D1%2B2%23");
    EXPECT_FALSE(entryFor("app.korvid.cn", "home", std::nullopt, std::nullopt, std::nullopt));
    EXPECT_FALSE(entryFor("https://host:port", "home", std::nullopt, std::nullopt, std::nullopt));
}

TEST(WebWorkspaceSameSite, SchemeHostAndPortAllCount)
{
    EXPECT_TRUE(sameSite(kOrigin, "https://app.korvid.cn/index.html#me"));
    EXPECT_TRUE(sameSite(kOrigin, "https://user@app.korvid.cn"));
    EXPECT_FALSE(sameSite(kOrigin, "https://app.korvid.cn:8443/index.html"));
    EXPECT_FALSE(sameSite(kOrigin, "http://app.korvid.cn/"));
    EXPECT_FALSE(sameSite(kOrigin, "https://app.korvid.cn.evil.example/"));
    EXPECT_FALSE(sameSite(kOrigin, "https://evil.example/?https://app.korvid.cn"));
    EXPECT_TRUE(sameSite(kLocal, "http://127.0.0.1:8421/x"));
    EXPECT_FALSE(sameSite(kLocal, "http://127.0.0.1:8422/x"));
    EXPECT_FALSE(sameSite(kLocal, "http://127.0.0.1/x"));
    EXPECT_FALSE(sameSite(kOrigin, "about:blank"));
    EXPECT_FALSE(sameSite(kOrigin, "not a url"));
    EXPECT_TRUE(sameSite("http://[::1]:80", "http://[::1]:80/a"));
}

NavigationAction action(std::string url, FrameTarget target = FrameTarget::unknown,
    NavigationType type = NavigationType::linkActivated, bool download = false)
{
    return { std::move(url), download, target, type };
}

TEST(WebWorkspaceNavigation, ExitSchemesAreAlwaysCancelledAndLeftToTheirFrame)
{
    EXPECT_EQ(decideNavigation(kOrigin, { std::nullopt }), NavigationVerdict::cancel);
    EXPECT_EQ(decideNavigation(kOrigin, action("korvid-customer://close")), NavigationVerdict::exitLink);
    EXPECT_EQ(decideNavigation(
                  kOrigin, action("korvid-review://settings", FrameTarget::newWindow, NavigationType::other, true)),
        NavigationVerdict::exitLink);
}

TEST(WebWorkspaceNavigation, SameSiteLoadsInTheWorkspaceAndOtherSitesAreRefused)
{
    EXPECT_EQ(decideNavigation(kOrigin, action("https://app.korvid.cn/index.html#me")), NavigationVerdict::allow);
    EXPECT_EQ(decideNavigation(kOrigin, action("https://app.korvid.cn/x", FrameTarget::newWindow)),
        NavigationVerdict::loadInPlace);
    EXPECT_EQ(decideNavigation(kOrigin, action("https://elsewhere.example/", FrameTarget::newWindow)),
        NavigationVerdict::openExternally);
    EXPECT_EQ(decideNavigation(kOrigin, action("mailto:a@b.example")), NavigationVerdict::openExternally);
    EXPECT_EQ(decideNavigation(kOrigin, action("file:///etc/passwd")), NavigationVerdict::cancel);
    EXPECT_EQ(decideNavigation(kOrigin, action("https://app.korvid.cn:8443/")), NavigationVerdict::openExternally);
    for (auto type : { NavigationType::formSubmitted, NavigationType::backForward, NavigationType::reload,
             NavigationType::formResubmitted, NavigationType::other })
        EXPECT_EQ(decideNavigation(kOrigin, action("https://elsewhere.example/", FrameTarget::mainFrame, type)),
            NavigationVerdict::cancel);
}

TEST(WebWorkspaceNavigation, DownloadsAndBlobsOnlyFromTheSite)
{
    const std::string ownBlob = "blob:https://app.korvid.cn/5a4c";
    const std::string foreignBlob = "blob:https://evil.example/5a4c";
    EXPECT_EQ(decideNavigation(kOrigin, action(ownBlob, FrameTarget::mainFrame, NavigationType::other, true)),
        NavigationVerdict::download);
    EXPECT_EQ(decideNavigation(kOrigin,
                  action("https://app.korvid.cn/f.pdf", FrameTarget::mainFrame, NavigationType::linkActivated, true)),
        NavigationVerdict::download);
    EXPECT_EQ(decideNavigation(kOrigin, action(foreignBlob, FrameTarget::mainFrame, NavigationType::other, true)),
        NavigationVerdict::cancel);
    EXPECT_EQ(decideNavigation(kOrigin, action(ownBlob, FrameTarget::subframe, NavigationType::other)),
        NavigationVerdict::allow);
    EXPECT_EQ(decideNavigation(kOrigin, action(ownBlob, FrameTarget::mainFrame, NavigationType::other)),
        NavigationVerdict::cancel);
    EXPECT_EQ(decideNavigation(kOrigin, action(foreignBlob, FrameTarget::subframe, NavigationType::other)),
        NavigationVerdict::cancel);
    EXPECT_EQ(decideNavigation(kOrigin, action("about:blank", FrameTarget::subframe, NavigationType::other)),
        NavigationVerdict::allow);
    EXPECT_EQ(decideNavigation(kOrigin, action("about:blank", FrameTarget::mainFrame, NavigationType::other)),
        NavigationVerdict::cancel);
}

TEST(WebWorkspaceExit, OnlyTheMainFrameAtEntryLeaves)
{
    const std::string entry = "https://app.korvid.cn/desktop-company.html?company=c-1";
    ExitSource top { true, entry };
    EXPECT_EQ(exitFor("korvid-customer://close", top, entry, true, false), (Exit { ExitKind::companyClose, "" }));
    EXPECT_EQ(exitFor("korvid-customer://minutes", top, entry, true, false), (Exit { ExitKind::companyMinutes, "" }));
    EXPECT_EQ(exitFor("korvid-customer://logout", top, entry, true, false), (Exit { ExitKind::logout, "" }));
    EXPECT_EQ(exitFor("korvid-customer://other", top, entry, true, false).kind, ExitKind::none);

    // A subframe, or a page navigated away from the entry, never leaves.
    EXPECT_EQ(exitFor("korvid-customer://close", { false, entry }, entry, true, false).kind, ExitKind::none);
    EXPECT_EQ(exitFor("korvid-customer://close", { true, entry + "&x=1" }, entry, true, false).kind, ExitKind::none);
    EXPECT_EQ(exitFor("korvid-customer://close", { true, entry + "#x" }, entry, true, false).kind, ExitKind::none);
    // A page without that exit ignores its scheme.
    EXPECT_EQ(exitFor("korvid-customer://logout", top, entry, false, true).kind, ExitKind::none);
    EXPECT_EQ(exitFor("korvid-review://imports", top, entry, true, false).kind, ExitKind::none);

    EXPECT_EQ(exitFor("korvid-review://imports", top, entry, false, true), (Exit { ExitKind::review, "imports" }));
    EXPECT_EQ(exitFor("korvid-review://customers", top, entry, false, true), (Exit { ExitKind::review, "customers" }));
    EXPECT_EQ(exitFor("korvid-review://settings", top, entry, false, true).kind, ExitKind::none);
    EXPECT_EQ(exitFor("korvid-review://IMPORTS", top, entry, false, true).kind, ExitKind::none);
}

TEST(WebWorkspaceResponse, PageErrorsAttachmentsAndUnshownTypes)
{
    const std::string page = "https://app.korvid.cn/index.html";
    EXPECT_EQ(decideResponse(kOrigin, { page, true, 404, std::nullopt, true }),
        (ResponseDecision { ResponseVerdict::cancel, "打开网页工作区失败（HTTP 404）。" }));
    EXPECT_EQ(decideResponse(kOrigin, { page, true, 399, std::nullopt, true }).verdict, ResponseVerdict::allow);
    // A subframe's or an image's 404 is the page's own business.
    EXPECT_EQ(decideResponse(kOrigin, { page, false, 404, std::nullopt, true }), ResponseDecision {});

    for (const char* header : { "attachment", "ATTACHMENT; filename=a.csv", " Attachment;filename=\"b\"" })
        EXPECT_EQ(decideResponse(kOrigin, { page, false, 200, header, true }).verdict, ResponseVerdict::download)
            << header;
    EXPECT_EQ(
        decideResponse(kOrigin, { page, true, 200, "inline; filename=a.pdf", true }).verdict, ResponseVerdict::allow);
    EXPECT_EQ(decideResponse(kOrigin, { page, true, 200, std::nullopt, false }).verdict, ResponseVerdict::download);
    // A main frame that somehow reached another site's page shows nothing.
    EXPECT_EQ(
        decideResponse(kOrigin, { "blob:https://app.korvid.cn/1", true, std::nullopt, std::nullopt, true }).verdict,
        ResponseVerdict::cancel);
}

TEST(WebWorkspaceSignOut, OnlyTheMainFrameOfTheSite)
{
    EXPECT_TRUE(acceptsSignOut(kOrigin, true, std::string("https://app.korvid.cn/index.html#me")));
    EXPECT_FALSE(acceptsSignOut(kOrigin, false, std::string("https://app.korvid.cn/index.html")));
    EXPECT_FALSE(acceptsSignOut(kOrigin, true, std::string("https://evil.example/")));
    EXPECT_FALSE(acceptsSignOut(kOrigin, true, std::nullopt));
}

}
}
