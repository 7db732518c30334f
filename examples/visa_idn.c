/* Asks an instrument for its identity through the cv-visa library.
 *
 *   cc visa_idn.c $(pkg-config --cflags --libs cvvisa) -o visa_idn
 *   cv4870-emulator --port 4870 &      # an emulated mainframe on 127.0.0.1
 *   ./visa_idn TCPIP::127.0.0.1::4870::SOCKET
 *
 * Opens the default resource manager and the resource, sends "*IDN?",
 * prints the reply line and closes both. Exit status 0 on success. */
#include <stdio.h>
#include <string.h>

#include <visa.h>

static int fail(ViSession rm, const char *what, ViStatus status)
{
    ViChar text[VI_FIND_BUFLEN];
    viStatusDesc(rm, status, text);
    fprintf(stderr, "visa_idn: %s: %s (0x%08lX)\n", what, text, (unsigned long)(ViUInt32)status);
    if (rm != VI_NULL)
        viClose(rm); /* also closes the sessions opened through it */
    return 1;
}

int main(int argc, char **argv)
{
    ViSession rm = VI_NULL, vi = VI_NULL;
    ViStatus status;
    static const char query[] = "*IDN?\n";
    ViByte reply[512];
    ViUInt32 count = 0;

    if (argc != 2) {
        fprintf(stderr, "usage: visa_idn <resource>\n");
        return 2;
    }
    status = viOpenDefaultRM(&rm);
    if (status < VI_SUCCESS)
        return fail(VI_NULL, "viOpenDefaultRM", status);
    status = viOpen(rm, argv[1], VI_NO_LOCK, 2000, &vi);
    if (status < VI_SUCCESS)
        return fail(rm, argv[1], status);

    /* Reads end at the line feed that ends the reply, or after 2 s. */
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, 2000);
    viSetAttribute(vi, VI_ATTR_TERMCHAR, '\n');
    viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);

    status = viWrite(vi, (ViConstBuf)query, (ViUInt32)strlen(query), &count);
    if (status < VI_SUCCESS)
        return fail(rm, "viWrite", status);
    status = viRead(vi, reply, sizeof reply - 1, &count);
    if (status < VI_SUCCESS)
        return fail(rm, "viRead", status);
    while (count > 0 && (reply[count - 1] == '\n' || reply[count - 1] == '\r'))
        --count;
    reply[count] = '\0';
    printf("%s\n", (const char *)reply);

    viClose(vi);
    viClose(rm);
    return 0;
}
