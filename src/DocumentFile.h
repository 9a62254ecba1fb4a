// SPDX-License-Identifier: Apache-2.0
// DocumentFile: the discovery document's file, from a locked temporary file to its own name.
#ifndef DOCUMENTFILE_H
#define DOCUMENTFILE_H

#include <csignal>
#include <string>

#include <libxml/xmlIO.h>

// The document is written to a hidden temporary file beside the output file name, created
// exclusively and locked for as long as it is being written, and takes the
// output file name only once complete: that name holds a complete document
// or nothing. Temporary files of runs that were killed are swept.
class DocumentFile {
public:
    DocumentFile();
    // Discards a document that was neither committed nor discarded: only a
    // discovery that already failed leaves one, and its failure has been said.
    ~DocumentFile();

    DocumentFile(const DocumentFile&) = delete;
    DocumentFile& operator=(const DocumentFile&) = delete;

    // Removes the temporary files of this output name that killed runs left,
    // removes whatever has the output file name (a link itself, never its
    // target), and creates a new temporary file beside it,
    // ".<output file name>.<pid>" (or with ".<n>" added when that name is
    // taken), mode 0644, locked. 1 on success, 0 with nothing left.
    int Create(const char* output_file_name);
    // A libxml2 output buffer that writes to the temporary file (null when
    // none can be made). Closing it keeps the file open; whether all that was
    // written reached the file is Written().
    xmlOutputBufferPtr NewOutput();
    // False once a write to the temporary file has failed.
    bool Written() const { return sink.error == 0; }
    // Syncs the temporary file, renames it to the output file name and syncs
    // the directory. 1 when the document is in place; 0 with nothing left.
    int Commit();
    // Removes the temporary file, if there is one: no document at all.
    void Discard();
    // The message for a document that could not be created or written
    // (action "create" or "write"): the name that stood in the way (the last
    // temporary name tried when every one was taken, or else the output file
    // name), the system's reason when there is one, and the outcome; and,
    // when an older entry under the output file name could not be removed,
    // that it remains.
    std::string Failure(const char* action, const char* outcome) const;

    // Removes the temporary file of a document being written, if there is
    // one. Async-signal-safe: for a signal that ends the process mid-run.
    static void RemovePending();

private:
    // libxml2's own file output writes through stdio and loses the error of
    // the final write and close, so a full disk would pass unnoticed; this
    // sink writes straight to the descriptor and keeps the first error. The
    // descriptor stays open, and the file locked, until the document is
    // committed or discarded; closing the output buffer leaves it open.
    struct OutputSink {
        int fd;
        int error;
    };
    static int SinkWrite(void* context, const char* buffer, int len);
    static int SinkClose(void* context);

    char output_name[512];
    OutputSink sink;
    bool temporary_created;
    char blocked_name[64];
    // True when an entry under the output file name could not be removed
    // and is still there: a failed run says that it remains.
    bool older_kept;

    // The temporary file that the signal handler removes; set while one may
    // exist. One document is written at a time in a process.
    static char pending_name[64];
    static volatile std::sig_atomic_t pending;

    // Removes temporary files of this output name left by runs that were
    // killed: those that no writer holds locked any more.
    void RemoveLeftovers() const;
    int CreateTemporaryFile();
    void ForgetTemporaryFile();
};

#endif
