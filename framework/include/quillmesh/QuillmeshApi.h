// Export and import of the framework library's interface.
#pragma once

#if defined(_WIN32)
#if defined(QUILLMESH_BUILD)
#define QUILLMESH_API __declspec(dllexport)
#else
#define QUILLMESH_API __declspec(dllimport)
#endif
#else
#define QUILLMESH_API __attribute__((visibility("default")))
#endif
