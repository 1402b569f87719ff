// Throw-away folders for tests that need real files, on Linux and under Wine alike.
#pragma once

#include <string>

// Creates a folder with a fresh name under the working folder and puts its path in *path.
bool make_scratch_folder(std::string *path);

// Removes memo.ini from the folder (if there) and then the folder itself.
bool remove_scratch_folder(const std::string &path);

// Writes bytes exactly as given (binary mode), replacing the file.
bool write_file(const std::string &path, const std::string &bytes);

// Makes path the working folder; *previous receives the one to return to.
bool enter_folder(const std::string &path, std::string *previous);
bool leave_folder(const std::string &previous);
