#pragma once
extern "C" {
#include <uci.h>
}
