#include <gtest/gtest.h>

#include <initializer_list>

#include "web/HttpHeaders.h"

using namespace orlavonix;

TEST(HttpHeaders, ContentLengthValues) {
  struct {
    const char* Text;
    std::optional<int64_t> Want;
  } Cases[] = {{"0", 0},
               {"51200", 51200},
               {" 7 ", 7},
               {"", std::nullopt},
               {"-1", std::nullopt},
               {"+5", std::nullopt},
               {"12a", std::nullopt},
               {"1 2", std::nullopt},
               {"0x10", std::nullopt},
               {"999999999999999999", 999999999999999999},
               {"9999999999999999999", std::nullopt}};
  for (auto& C : Cases)
    EXPECT_EQ(ParseContentLength(C.Text), C.Want) << "'" << C.Text << "'";
}

TEST(HttpHeaders, HeadState) {
  struct {
    const char* What;
    std::initializer_list<const char*> Lines;
    int Status;
    std::optional<int64_t> Length;
    const char* Type;
  } Cases[] = {
      {"plain",
       {"HTTP/1.1 200 OK\r\n", "Content-Length: 5\r\n", "Content-Type: image/png\r\n", "\r\n"},
       200,
       5,
       "image/png"},
      {"names in any case",
       {"HTTP/1.0 404 Not Found\r\n", "content-length:9\r\n", "CONTENT-TYPE:  a/b \r\n"},
       404,
       9,
       "a/b"},
      {"no length",
       {"HTTP/1.1 200 OK\r\n", "Content-Type: image/png\r\n"},
       200,
       std::nullopt,
       "image/png"},
      {"two equal lengths",
       {"HTTP/1.1 200 OK\r\n", "Content-Length: 5\r\n", "Content-Length: 5\r\n"},
       200,
       5,
       ""},
      {"two different lengths",
       {"HTTP/1.1 200 OK\r\n", "Content-Length: 5\r\n", "Content-Length: 6\r\n"},
       200,
       std::nullopt,
       ""},
      {"bad length", {"HTTP/1.1 200 OK\r\n", "Content-Length: 5x\r\n"}, 200, std::nullopt, ""},
      {"final response counts",
       {"HTTP/1.1 100 Continue\r\n", "Content-Length: 1\r\n", "\r\n", "HTTP/1.1 200 OK\r\n",
        "Content-Type: image/jpeg\r\n"},
       200,
       std::nullopt,
       "image/jpeg"},
      {"bad status", {"HTTP/1.1 2x0 OK\r\n"}, 0, std::nullopt, ""},
      {"status too long", {"HTTP/1.1 2000 OK\r\n"}, 0, std::nullopt, ""},
      {"line without colon", {"HTTP/1.1 200 OK\r\n", "garbage\r\n"}, 200, std::nullopt, ""},
  };
  for (auto& C : Cases) {
    THttpHeaderState S;
    for (auto* L : C.Lines)
      S.AddLine(L);
    EXPECT_EQ(S.StatusCode(), C.Status) << C.What;
    EXPECT_EQ(S.ContentLength(), C.Length) << C.What;
    EXPECT_EQ(S.ContentType(), C.Type) << C.What;
  }
}

TEST(HttpHeaders, PictureTypes) {
  struct {
    const char* Type;
    const char* Ext;
  } Cases[] = {{"image/jpeg", ".jpg"}, {"IMAGE/JPG", ".jpg"},
               {"Image/Jpeg", ".jpg"}, {"image/png", ".png"},
               {"IMAGE/PNG", ".png"},  {"iMaGe/pNg", ".png"},
               {"image/gif", ""},      {"image/pngx", ""},
               {"text/html", ""},      {"", ""},
               {"image/png; x=1", ""}};
  for (auto& C : Cases)
    EXPECT_EQ(ImageExtensionForType(C.Type), C.Ext) << C.Type;
}
