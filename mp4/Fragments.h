// What a reader finds in an MP4 file being written as fragments.
#pragma once

#include <string>

namespace trelvo::mp4 {

// True when the file at strPath holds, box after box from its start, a whole
// fragment: a moof followed by its whole mdat. A reader can play it then.
bool HoldsWholeFragment(const std::string& strPath);

}  // namespace trelvo::mp4
