/* A native recursion that overflows the calling thread's stack, for the
 * test clients' regions. */
#ifndef TVRECURSE_H
#define TVRECURSE_H

static volatile long recursion_limit = 1L << 40;

static int recurse_forever(volatile char *previous, long depth)
{
    volatile char frame[512];
    frame[0] = previous ? previous[0] + 1 : 0;
    if (depth >= recursion_limit)
        return frame[0];
    return recurse_forever(frame, depth + 1) + frame[1];
}

#endif
