#ifndef HBASCAN_H
#define HBASCAN_H

#include <libxml/xmlwriter.h>

#include "FwCompLibUtil.h"

// The generic scanner: the configuration file name, the discovery document's
// name and header values, the document writer, and the header and footer.
class HBAScan {
public:
    HBAScan(const char* config_file_name, int debug);
    HBAScan();
    // Frees a writer that a failed discovery left open.
    ~HBAScan();

    HBAScan(const HBAScan&) = delete;
    HBAScan& operator=(const HBAScan&) = delete;

    void SetCommonAttributes();
    void ReadConfigurationFile();
    int WriteXmlHeader();
    int WriteXmlFooter();

    const char* GetOutputFileName() const;
    // Why no document can be written (empty when the output file name is good).
    const char* GetOutputFileNameProblem() const;

protected:
    // Opens the document writer on the output file name, creating the file
    // or emptying an existing one; 1 on success.
    int OpenWriter();
    // Frees the document writer, if one is open: 1 when everything written
    // reached the file and the file was closed without error, 0 otherwise.
    int FreeWriter();
    // The system's reason for the last failure to open, write or close the
    // document, or nullptr when there was none.
    const char* OutputError() const;

    int debug;
    char OutputFileName[512];
    char TarnromVerStr[20];
    char VersionStr[20];
    char TypeStr[256];
    char AltName[256];
    char TakesEffectStr[20];
    char ConfigurationFile[512];
    xmlTextWriterPtr writer;
    FwCompLibUtil util;
    char OutputFileNameProblem[160];

private:
    // The file under the writer. libxml2's own file output writes through
    // stdio and loses the error of the final write and close, so a full disk
    // would pass unnoticed; this sink writes straight to the descriptor and
    // keeps the first error.
    struct OutputSink {
        int fd;
        int error;
    };
    static int SinkWrite(void* context, const char* buffer, int len);
    static int SinkClose(void* context);

    OutputSink sink;

    void DeriveOutputFileName(const char* component_file_name, bool cut, bool opened);
};

#endif
