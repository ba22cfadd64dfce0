// Fuzz target: the argument text to command texts, and the length reply.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "playback/command_text.h"
#include "playback/reply.h"
#include "playback/runtime_error.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorwind;
  std::u16string text(size / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  }

  // Every double quote, and nothing else, is removed, in order.
  const std::u16string path = StripQuotes(text);
  std::u16string others;
  std::copy_if(text.begin(), text.end(), std::back_inserter(others),
               [](char16_t c) { return c != u'"'; });
  Check(path == others);
  for (const Command command :
       {Command::kOpen, Command::kLengthQuery, Command::kClose, Command::kPlay}) {
    const std::u16string command_text = CommandText(command, path);
    Check(command_text.find(u" \"" + path + u"\"") != std::u16string::npos);
  }

  // The reply: copied back whole or cut at 20, padded with blanks, then read;
  // the one error it may raise is the overflow.
  ReplyBuffer reply{};
  CopyReplyBack(text, reply);
  for (std::size_t i = 0; i < reply.size(); ++i) {
    Check(reply[i] == (i < text.size() ? text[i] : u' '));
  }
  try {
    (void)ReadLength(reply);
  } catch (const RuntimeError& error) {
    Check(error.kind() == RuntimeErrorKind::kOverflow);
  }
  return 0;
}
