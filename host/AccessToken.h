// The secret that every request to "dorn serve" must carry: 32 random bytes as 64 lowercase
// hexadecimal characters, kept in a file that only its owner may read.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// $XDG_CONFIG_HOME/dorn/token, else $HOME/.config/dorn/token; none when neither is set.
std::optional<std::filesystem::path> DefaultTokenPath();

// Reads the token from `path`, or, when there is no such file, makes a new one there (mode
// 0600; missing parent directories are made with mode 0700). False with `error` when the file
// is not a regular file of the caller's own, can be read or written by anyone else, or does not
// hold 64 hexadecimal characters (a final line break is allowed).
bool LoadOrCreateToken(const std::filesystem::path& path, std::string& token, std::string& error);

// Compares in time that depends on the lengths only, not on where the texts differ.
bool TokensEqual(std::string_view given, std::string_view expected);
