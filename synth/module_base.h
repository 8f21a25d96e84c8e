#pragma once

// Common base of the engine's modules: one integer, 0 at construction,
// read by nothing.
class ModuleBase {
public:
    ModuleBase() : moduleId(0) {}
    int moduleId;
};
