#pragma once

// What an update leaves in the installation root when it fails or the program is killed
// during it: the package, its partial download, the unpacking and staging folders, and
// old files moved aside because they were in use. Removed after every failed update and
// at the next start (once this copy holds the single-instance lock, so no other copy is
// updating at the same moment).
namespace UpdateLeftovers {

// The package, partial downloads and the work folders (the unpacking folder stays while an
// interrupted install's journal still needs it).
void removePackageAndStaging();

// All of the above and the old files an earlier installation moved aside.
void removeAll();

} // namespace UpdateLeftovers
