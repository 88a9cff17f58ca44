#pragma once

// The fixed identity of the module: what the host shows for it and which content it takes.

inline constexpr char kPluginName[] = "vellum Plug-in for DEMO";

inline constexpr char kPluginMIMEType[] = "application/x-vnd-vellum-demo";

// MIME type, file extensions (none) and description, separated by colons.
inline constexpr char kPluginMIMEDescription[] =
    "application/x-vnd-vellum-demo::vellum Plug-in for DEMO";

// The plug-in API version the module is written against.
inline constexpr int kPluginAPIMajorVersion = 0;
inline constexpr int kPluginAPIMinorVersion = 27;
