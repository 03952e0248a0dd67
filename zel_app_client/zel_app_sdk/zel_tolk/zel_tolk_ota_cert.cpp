// The update server's root certificate (EC P-256; its key is kept off the device).
#include "zel_app_sdk/zel_tolk/zel_tolk_ota.h"

extern "C" const char lumo_dorvi_root_cert[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBsTCCAVegAwIBAgIUCnKg4jAqkz0VOP6aP0l0SzbNOmkwCgYIKoZIzj0EAwIw\n"
    "LjEOMAwGA1UECgwFRG9ydmkxHDAaBgNVBAMME0RvcnZpIEZpcm13YXJlIFJvb3Qw\n"
    "HhcNMjYxMjA5MTcwMTAwWhcNNDYxMjA0MTcwMTAwWjAuMQ4wDAYDVQQKDAVEb3J2\n"
    "aTEcMBoGA1UEAwwTRG9ydmkgRmlybXdhcmUgUm9vdDBZMBMGByqGSM49AgEGCCqG\n"
    "SM49AwEHA0IABHSckeWUz/gHX/D1VPieA1JiW+2N8C63KMqOtOcngLpekim6wEYY\n"
    "rt/M/yUDUyjLSFtAqIJn+LQbNMqU35bgqACjUzBRMB0GA1UdDgQWBBSZYo7gJq4P\n"
    "H1UIHVsxl2cg7EEs0zAfBgNVHSMEGDAWgBSZYo7gJq4PH1UIHVsxl2cg7EEs0zAP\n"
    "BgNVHRMBAf8EBTADAQH/MAoGCCqGSM49BAMCA0gAMEUCIQCgA6uOrUOI5FzXANwK\n"
    "WDPygx9GB+F8edeipLCBaMAT8AIgOSlwnkqcPknaQzfD3j02mP8EeiFKMLD4ikuo\n"
    "TQawux0=\n"
    "-----END CERTIFICATE-----\n";
