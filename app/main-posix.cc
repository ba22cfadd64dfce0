// Process entry on POSIX: answers --help and --version, else creates Form1 and
// runs its load step.
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "app/form1-posix.h"
#include "app/platform-posix.h"
#include "version.h"

namespace {

constexpr std::string_view kHelp =
    "Usage: quorwind FILE\n"
    "Plays FILE, any common sound or video file, with no window and no output,\n"
    "and exits once its length has passed: 0 after playing, 1 when there is\n"
    "nothing to play, 2 after a run-time error. The arguments, joined by blanks\n"
    "and with every double quote removed, are the path.\n"
    "Manual: man quorwind\n";
constexpr std::string_view kVersion = "quorwind " QUORWIND_VERSION "\n";

/// The text asked for when the whole argument text is "--help" or
/// "--version" and no file of that name is here to be played; empty otherwise.
std::string_view InformationAsked(int argc, char** argv) {
  if (argc != 2) return {};
  const std::string_view text = argv[1];
  if (text != "--help" && text != "--version") return {};
  struct stat status {};
  if (lstat(argv[1], &status) == 0) return {};
  return text == "--help" ? kHelp : kVersion;
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::string_view information = InformationAsked(argc, argv); !information.empty()) {
    // A closed standard output changes nothing: the answer is given or not.
    [[maybe_unused]] const ssize_t written =
        write(STDOUT_FILENO, information.data(), information.size());
    return 0;
  }
  quorwind::PosixPlatform platform(argc, argv,
                                   quorwind::PosixPlatform::ModulePathBesideExecutable());
  quorwind::Form1 form;
  form.Load(platform);
}
