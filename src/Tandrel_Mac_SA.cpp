#include "TandrelApp.h"

int main(int argc, char** argv)
{
    return tandrel::TandrelApp::main(argc, argv);
}
