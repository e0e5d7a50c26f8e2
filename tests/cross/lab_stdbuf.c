/* What coreutils' stdbuf preloads, for programs of another architecture run
 * under qemu-user (the host's libstdbuf.so cannot be loaded into them): the
 * buffering of stdout and stderr from _STDBUF_O and _STDBUF_E ("L" line, "0"
 * none). The lab's runner preloads it into every target program; it takes
 * itself out of the environment so native children do not try to load it. */
#include <stdio.h>
#include <stdlib.h>

static void lab_buffering(FILE *f, const char *mode)
{
	if (!mode)
		return;
	if (mode[0] == 'L')
		setvbuf(f, NULL, _IOLBF, 0);
	else if (mode[0] == '0')
		setvbuf(f, NULL, _IONBF, 0);
}

__attribute__((constructor)) static void lab_stdbuf(void)
{
	lab_buffering(stdout, getenv("_STDBUF_O"));
	lab_buffering(stderr, getenv("_STDBUF_E"));
	unsetenv("LD_PRELOAD");
}
