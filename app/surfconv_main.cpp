#include <cstdlib>

#include "app/driver.h"

int main(int argc, char** argv) {
    std::exit(surfconv_main(argc, argv));
}
