#pragma once

#include <string>

namespace horalign {

// Files in a folder that another user may write to: the service's, when root works on its
// settings (horalign-cli --system). Any name there may have been made a link to any file of
// the system, which root would then write or give away. These take nothing but a plain file
// with one name; anything else is refused, with the reason as the end of a sentence that
// begins with the path ("is a symbolic link, which is not followed").

struct PlainFile {
  int fd = -1;          // open, or -1 (errno tells why when there is no refusal)
  std::string refusal;  // set when the name was something a crash never leaves
};

// Opens `path` with `flags` (O_CREAT makes it with mode 0600), never following a link at its
// end, and keeps it open only when it is a plain file with no other name.
PlainFile OpenPlainFile(const std::string& path, int flags);

// Removes the plain file a crash may have left at `path`, so that it can be made afresh:
// "" when nothing is in the way any more, else the refusal.
std::string RemoveLeftover(const std::string& path);

// After root has written `path` in a folder of another user, gives the file to that user so
// that the service can still read and write it. "" when done or when there is nothing to do
// (the folder is root's, the file is missing or already the folder owner's); otherwise why
// the file was left as it is, as a sentence. A file that belongs to a third user stays so.
std::string GiveToFolderOwner(const std::string& path);

}  // namespace horalign
