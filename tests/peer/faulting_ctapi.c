/* A Linux CT-API library whose CT_data faults, for the peer suite: CT_init
 * and CT_close answer 0, CT_data reads address 0. Built without the C
 * library (gcc -shared -fPIC -nostdlib [-m32]), so a 32-bit build needs no
 * 32-bit C library on the machine. */
signed char CT_init(unsigned short ctn, unsigned short pn) {
    (void)ctn;
    (void)pn;
    return 0;
}

signed char CT_data(unsigned short ctn, unsigned char *dad, unsigned char *sad, unsigned short lenc,
                    unsigned char *command, unsigned short *lenr, unsigned char *response) {
    (void)ctn, (void)dad, (void)sad, (void)lenc, (void)command, (void)lenr, (void)response;
    return *(volatile signed char *)0;
}

signed char CT_close(unsigned short ctn) {
    (void)ctn;
    return 0;
}
