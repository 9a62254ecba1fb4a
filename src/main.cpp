#include "HBAScanB.h"

// Run in the component's directory: writes the discovery document there.
// The outcome is the document; the exit status is always 0.
int main()
{
    HBAScanB scanner("KT582304.xml", 0);
    scanner.CreateXmlFile();
    return 0;
}
