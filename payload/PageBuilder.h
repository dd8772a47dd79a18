// The command line's page builder (/w): writes a copy of the updater's web page carrying a firmware file and
// a loader file, from the page template installed with the program. Shows nothing; the caller presents the
// message.
#pragma once

#include <string>

#include "payload/Builder.h"
#include "payload/CommandLine.h"
#include "payload/ExeFile.h"

namespace payload {

// The template's file name, wherever it lies.
inline constexpr char kPageTemplateName[] = "brae-update.html";

// Whether a page's file name already ends in ".html", in any case.
bool EndsWithHtml(const std::string& name);

// Builds cl.TargetName as a web page, completing it first: a name that does not end in ".html" (any case)
// gets it appended (cl.TargetName changes). The page is the template (kPageTemplateName beside the program
// at selfPath, else in the package's data folder, BRAE_DATA_DIR, where the web build installs it) with the
// firmware file (and, with copyLoader, the loader file) placed by BuildPage; a payload not given is the
// template's own, if it carries one. Refused, with nothing written: no firmware (a /w without a name and a
// firmware file), no template in either place, a template that cannot be read or holds no single payload
// element, a payload file as BuildUpdater refuses it (the same messages), what BuildPage refuses, an output
// that is the template itself. The page is written beside its final name and renamed into place.
BuildResult BuildWebPage(bool copyFirmware, bool copyLoader, CommandLine& cl,
                         const std::string& selfPath = SelfExecutablePath());

}  // namespace payload
