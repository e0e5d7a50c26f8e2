/* Build options of the host libuci. */
#ifndef __UCI_CONFIG_H
#define __UCI_CONFIG_H

#undef UCI_PLUGIN_SUPPORT
#undef UCI_DEBUG
#undef UCI_DEBUG_TYPECAST

#endif
