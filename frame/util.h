// Small helpers used across the agent: the millisecond sleep and the strict
// command-line integer parser.
#pragma once

void msleep(unsigned int ms);
int parse_int_in_range(const char *str, int r_min, int r_max, int dflt);
