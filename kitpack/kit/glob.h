#pragma once
// Shell-style patterns for --exclude: "*" any run of characters but "/",
// "?" one character but "/", "[abc]", "[a-z]" and "[!abc]" one character of
// (or not of) a set. Everything else stands for itself; letter case counts.

#include <string>

namespace kitpack {

bool GlobMatches(const std::string& pattern, const std::string& text);

// Whether a payload file, given by its path relative to its --payload folder
// ("/" between parts), is excluded by `pattern`: a pattern holding "/" is
// matched against the whole path, any other against each part of it (so
// "*.log" drops every .log file and "cache" a folder of that name and all
// it holds).
bool ExcludedBy(const std::string& pattern, const std::string& relative_path);

}  // namespace kitpack
