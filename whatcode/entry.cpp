// Program entry: the whole run lives in whatcode.cpp, so that the tests and
// the fuzz targets link the same code.
#include "whatcode.h"

int main(int argc, char** argv)
{
    return WhatcodeMain(argc, argv);
}
