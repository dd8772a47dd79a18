// The page's own payloads: read from the page into the buffers at start, as the executable carries them, so
// that every check of a built copy (size rule, digest record) holds for a page alike; and the page's copies.
#pragma once

#include <string>
#include <vector>

namespace webapp {

// Fills the buffers and the digest record from the page's payload element, and tells the page what it
// carries. A page whose payloads can not be read is told so and runs with empty buffers (nothing to send).
void LoadPagePayloads();
// Builds a copy of the page with the files at firmwarePath and loaderPath (in the page's file system; empty:
// taken over from this page) and offers it as Name.html; the page is told why, when it is refused.
void SaveCopy(const std::string& name, const std::string& firmwarePath, const std::string& loaderPath);

}  // namespace webapp
