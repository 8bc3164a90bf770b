#pragma once

#include <string>
#include <string_view>

// The text layer of the first six pages of a PDF held in memory.
namespace korvid::PdfText {

inline constexpr int kPageLimit = 6;

// Whether the later half of the pages is laid out on a second thread, from a
// second copy of the document. That can pay only with a CPU to spare: on a
// busy machine the second thread waits for a CPU and the second document's
// parsing and memory are pure cost. Tests choose a path with never/always.
enum class Split { whenCoreIsFree, never, always };

// Pages' texts joined with "\n"; a page without text adds nothing. Throws
// DesktopError "PDF 无法读取或已加密。" when the document cannot be opened or
// needs a password. The text is the same whichever way the pages are split.
std::string read(std::string_view data, Split split = Split::whenCoreIsFree);

// Whether a CPU would stay idle beside the reader: loadavg is the text of
// /proc/loadavg, whose fourth field "runnable/total" counts the tasks
// runnable at this instant (the reader itself included), and usableCpus is
// how many CPUs the reader may run on. False when the text does not parse.
bool coreIsFree(std::string_view loadavg, int usableCpus);

}
