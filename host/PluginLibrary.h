// The plug-in library, loaded at run time and unloaded when the object ends.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "UniqueHandle.h"

class PluginLibrary {
  public:
    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // The plug-in built beside the dorn executable.
    static std::filesystem::path DefaultPath();

    // False with `error` when the library cannot be loaded or has no PluginInit.
    bool Load(const std::filesystem::path& path, std::string& error);
    // Calls the plug-in's PluginInit.
    bool Init();

  private:
    UniqueModule m_module;
    bool (*m_pluginInit)() = nullptr;
};
