// Every user-visible text must be the GBK encoding of its Chinese original,
// and the header must be the generator's.
#include "text/texts.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
#include <string>

namespace {
std::string ToGbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string in = utf8, out(utf8.size() * 2 + 4, '\0');
  char* src = in.data();
  char* dst = out.data();
  size_t inLeft = in.size(), outLeft = out.size();
  EXPECT_NE(iconv(cd, &src, &inLeft, &dst, &outLeft), static_cast<size_t>(-1));
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}
}  // namespace

TEST(Texts, AreTheGbkBytesOfTheirOriginals) {
  const std::pair<const char*, const char*> cases[] = {
      {texts::kCaptionAutoStart, "自启动"},
      {texts::kStartPlan, "启动方案"},
      {texts::kStopPlan, "停止方案"},
      {texts::kExitButton, "退出"},
      {texts::kHideButton, "监控隐藏"},
      {texts::kRerunBox, "外退出再运行"},
      {texts::kNotifyBox, "KVL-Orn和Malvoryn通知保存退出"},
      {texts::kDetectBox, "App检测【自动重置】【检测间隔:】"},
      {texts::kIntervalDefault, "60秒"},
      {texts::kDelayFormat, "%d秒"},
      {texts::kColumnProgram, "模型目录及程序"},
      {texts::kColumnDirectory, "运行目录位置"},
      {texts::kColumnCommandLine, "命令行参数"},
      {texts::kColumnDelay, "延迟时间（秒）"},
      {texts::kSurplusCaption, "提示"},
      {texts::kSurplusFormat, "此行【%s  %s  %s  %s】有多于内容【%s】没有用到"},
      {texts::kTrayTip, "自动调度台"},
      {texts::kTrayShow, "显示调度窗"},
      {texts::kTrayClose, "关闭调度窗"},
      {texts::kTrayStartFormat, "启动方案【%s 】"},
      {texts::kTrayStopFormat, "停止方案【%s 】"},
      {texts::kSocketLayerFailed, "网络初始化失败，程序无法运行。"},
      {texts::kFontFace, "宋体"},
  };
  for (const auto& [bytes, original] : cases) {
    EXPECT_EQ(std::string(bytes), ToGbk(original)) << original;
  }
}

// The header is generated and checked in: a text changed in the generator's
// list but not generated again, or the header edited by hand, fails here.
TEST(Texts, TheHeaderIsWhatTheGeneratorWritesNow) {
  const std::string source = MORVASTEL_SOURCE_DIR;
  const std::string command = "python3 '" + source + "/tools/gen_texts.py' | cmp -s - '" + source +
                              "/src/text/texts.h'";
  EXPECT_EQ(std::system(command.c_str()), 0) << "run: python3 tools/gen_texts.py > src/text/texts.h";
}
