// Request paths as routed and authorised, and the static files they may reach.
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness/temp_folder.h"
#include "request_path.h"
#include "static_files.h"

namespace nexoral::server {
namespace {

TEST(RequestPathTest, DecodesPathsAndRefusesAmbiguousOnes) {
  EXPECT_EQ(DecodeRequestPath("/owa/a%20b.js?x=%2e%2e"), "/owa/a b.js");
  EXPECT_EQ(DecodeRequestPath("/"), "/");
  EXPECT_EQ(DecodeRequestPath("/a/..b/c..d/"), "/a/..b/c..d/");
  EXPECT_EQ(TargetQuery("/a?b=c?d"), "b=c?d");
  EXPECT_EQ(TargetPath("/a?b"), "/a");
  for (const char* bad : {"", "owa/", "/a/../b", "/a/./b", "/..", "/a/%2E%2e/b", "/a/%2e/b",
                          "/a%00b", "/a%", "/a%2", "/a%zz", "/a/.."}) {
    EXPECT_FALSE(DecodeRequestPath(bad)) << bad;
  }
}

class StaticFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.WriteFile("www/owa/index.html", "inbox");
    folder_.WriteFile("secret.txt", "secret");
    ASSERT_EQ(::symlink("../../secret.txt", folder_.Join("www/owa/leak.txt").c_str()), 0);
    ASSERT_EQ(::symlink("index.html", folder_.Join("www/owa/home.html").c_str()), 0);
  }

  testing::TempFolder folder_;
};

TEST_F(StaticFilesTest, ServesFilesInsideTheRootOnly) {
  const StaticFiles files(folder_.Join("www"), "index.html");
  EXPECT_TRUE(files.Resolve("/owa/index.html"));
  EXPECT_EQ(files.Resolve("/owa/"), files.Resolve("/owa/index.html"));
  EXPECT_TRUE(files.Resolve("/owa/home.html"));  // a link that stays inside
  EXPECT_FALSE(files.Resolve("/owa/leak.txt"));
  EXPECT_FALSE(files.Resolve("/owa"));  // a folder is not a file
  EXPECT_FALSE(files.Resolve("/missing"));

  EXPECT_EQ(files.Serve(http::verb::get, "/owa/index.html", "").head.result(), http::status::ok);
  EXPECT_EQ(files.Serve(http::verb::get, "/owa/leak.txt", "").head.result(),
            http::status::not_found);
  const OutgoingResponse folder = files.Serve(http::verb::get, "/owa", "a=1");
  EXPECT_EQ(folder.head.result(), http::status::moved_permanently);
  EXPECT_EQ(folder.head[http::field::location], "/owa/?a=1");
  EXPECT_EQ(files.Serve(http::verb::post, "/owa/", "").head.result(),
            http::status::method_not_allowed);
}

TEST(ContentTypeTest, FollowsTheExtension) {
  EXPECT_EQ(ContentTypeFor("/owa/app.JS"), "text/javascript; charset=utf-8");
  EXPECT_EQ(ContentTypeFor("/a.html"), "text/html; charset=utf-8");
  EXPECT_EQ(ContentTypeFor("/dir.d/file"), "application/octet-stream");
}

}  // namespace
}  // namespace nexoral::server
