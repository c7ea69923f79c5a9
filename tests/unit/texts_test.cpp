// The system's texts are GBK bytes; each must decode to the text it stands for.
#include "platform/texts.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace vantorel::test {
namespace {

std::string gbkToUtf8(const std::string& gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return "<no GBK converter>";
  }
  std::string out(gbk.size() * 4, '\0');
  char* in = const_cast<char*>(gbk.data());
  std::size_t inLeft = gbk.size();
  char* o = out.data();
  std::size_t outLeft = out.size();
  const std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1) || inLeft != 0) {
    return "<invalid GBK>";
  }
  out.resize(out.size() - outLeft);
  return out;
}

struct TextCase {
  const char* gbk;
  const char* utf8;
};

class TextsTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextsTest, DecodesFromGbk) { EXPECT_EQ(gbkToUtf8(GetParam().gbk), GetParam().utf8); }

INSTANTIATE_TEST_SUITE_P(
    All, TextsTest,
    ::testing::Values(TextCase{text::kMessageTitle, "信息："}, TextCase{text::kMenuRoot, "菜单"},
                      TextCase{text::kSuspendAutoHide, "关闭自动隐藏"}, TextCase{text::kResumeAutoHide, "开启自动隐藏"},
                      TextCase{text::kExit, "退出"}, TextCase{text::kSecondInstance, "本工具禁止多开"},
                      TextCase{text::kIdleTimeFailed, "取系统空闲时间失败"}, TextCase{text::kStartButton, "开始"},
                      TextCase{text::kIdleTimerName, "时钟1"}, TextCase{text::kClickTimerName, "时钟2"}));

}  // namespace
}  // namespace vantorel::test
