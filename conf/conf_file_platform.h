// What each platform's file supplies behind ReplaceFileContent and CreateFileContent.
#pragma once

#include "conf/conf_file.h"

// `replace` false: the name must be free, and whatever is at it is left alone.
bool WriteFileInFolder(const wxString& path, const std::string& bytes, const PrepareReplacement& prepare, bool replace,
                       wxString& reason);
