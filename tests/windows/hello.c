/* The smallest 32-bit Windows program: tells whether Wine runs one here. */
#include <stdio.h>

int main(void) {
    puts("hello from 32-bit Windows");
    return 0;
}
