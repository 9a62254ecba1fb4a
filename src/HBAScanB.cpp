#include "HBAScanB.h"

#include <cstdio>
#include <memory>

#include "Command.h"
#include "HBAInfoB.h"

namespace {

const char kEnumerationPipeline[] = "lspci | grep Durozaz | awk '{print $1}'";

} // namespace

HBAScanB::HBAScanB(const char* config_file_name, int debug_value)
    : HBAScan(config_file_name, debug_value)
{
    FwCompLibUtil::CopyBounded(TypeStr, sizeof(TypeStr), "Durozaz");
    if (debug) {
        printf("HBAScan::HBAScanB(): ConfigurationFile=%s\n", ConfigurationFile);
        printf("HBAScan::HBAScanB(): TarnromVerStr=%s\n", TarnromVerStr);
        printf("HBAScan::HBAScanB(): TypeStr=%s\n", TypeStr);
        printf("HBAScan::HBAScanB(): TakesEffectStr=%s\n", TakesEffectStr);
        printf("HBAScan::HBAScanB(): VersionStr=%s\n", VersionStr);
        printf("HBAScan::HBAScanB(): AltName=%s\n", AltName);
    }
}

HBAScanB::HBAScanB() : HBAScan()
{
}

int HBAScanB::CreateXmlFile()
{
    std::unique_ptr<Command> enumeration(new Command(kEnumerationPipeline, debug));

    // Without a usable output file name there is no document to write.
    if (OutputFileName[0] == '\0') {
        (void)fprintf(stderr, "hba-discovery: %s %s; no discovery document written\n",
                      ConfigurationFile, OutputFileNameProblem);
        if (debug)
            printf("HBAScanB::CreateXmlFile(): Error creating the xml writer\n");
        return 0;
    }
    if (!OpenWriter()) {
        ReportFailure("create", "no discovery document written");
        if (debug)
            printf("HBAScanB::CreateXmlFile(): Error creating the xml writer\n");
        return 0;
    }
    if (debug)
        printf("HBAScanB::CreateXmlFile(): XML file %s successfully created\n", OutputFileName);

    if (!WriteXmlHeader()) {
        ReportFailure("write", "the discovery document is unfinished");
        if (debug)
            printf("HBAScanB::CreateXmlFile(): Error writing XML header elements\n");
        return 0;
    }
    if (debug)
        printf("HBAScanB::CreateXmlFile(): Successfully created all XML header elements\n");

    ScanAdapters(*enumeration);
    enumeration.reset();

    if (!WriteXmlFooter()) {
        ReportFailure("write", "the discovery document is unfinished");
        if (debug)
            printf("HBAScanB::CreateXmlFile(): Error writing out XML footer elements\n");
        return 0;
    }
    if (debug)
        printf("HBAScanB::CreateXmlFile(): Successfully created XML footer elements\n");

    // The document is complete only once the writer has been freed and the
    // file closed; a write that failed on the way (a full disk) shows there.
    if (xmlTextWriterEndDocument(writer) < 0 || !FreeWriter()) {
        ReportFailure("write", "the discovery document is unfinished");
        if (debug)
            printf("HBAScanB::CreateXmlFile(): xmlTextWriterEndDocument() failed\n");
        return 0;
    }
    if (debug)
        printf("HBAScanB::CreateXmlFile(): Successfully closed out %s\n", OutputFileName);
    return 1;
}

// The exit status is always 0, so a document that is missing or unfinished
// is said on standard error, where whoever runs the tool sees it.
void HBAScanB::ReportFailure(const char* action, const char* outcome) const
{
    const char* reason = OutputError();
    (void)fprintf(stderr, "hba-discovery: cannot %s %s%s%s%s; %s\n", action, OutputFileName,
                  reason ? " (" : "", reason ? reason : "", reason ? ")" : "", outcome);
}

// Probes every listed PCI function in listing order and writes a device
// element for each supported one that reports an installed BIOS version.
void HBAScanB::ScanAdapters(Command& enumeration)
{
    enumeration.Execute();
    enumeration.SetFieldSeparator("\n");
    enumeration.ResetIterator();
    for (char* address = enumeration.IteratorGetNext(); address != nullptr;
         address = enumeration.IteratorGetNext()) {
        std::unique_ptr<HBAInfoB> adapter(new HBAInfoB(address, debug));
        if (!adapter->IsSupported(ConfigurationFile)) {
            if (debug)
                printf("HBAScanB::CreateXmlFile():***Hba %s is not supported***\n", address);
        } else if (adapter->GetBiosActiveVersion()[0] == '\0') {
            if (debug)
                printf("HBAScanB::CreateXmlFile():***Current BIOS version is empty so skipping "
                       "HBA***\n");
        } else {
            adapter->WriteXml(writer);
        }
    }
}
