#pragma once
// relmond's command line: the whole program behind main().

int relmond_main(int argc, char **argv);
void local_info();
