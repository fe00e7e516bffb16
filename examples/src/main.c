#include "../include/util.h"

int main(void) { return twice(21) == 42 ? 0 : 1; }
