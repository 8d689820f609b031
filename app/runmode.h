#pragma once

enum class RunMode {
    Console = 0,
    Normal = 1,
    Helper = 2,
};
