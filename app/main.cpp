#include "app/program.h"

int main() { return programMain(); }
