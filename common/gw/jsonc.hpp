#pragma once
extern "C" {
#include <json-c/json.h>
}
