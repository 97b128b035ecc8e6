#ifndef VANTOR_APP_PROGRAM_H
#define VANTOR_APP_PROGRAM_H

// The program's entry, as main runs it: 0 after a successful run.
int programMain();

#endif
