// The public entry points: each calls the ztp_proto_ function of the same name.
#include "ztp_api.h"

int ZTP_GetAPIVersion(void)
{
    return ztp_proto_GetAPIVersion();
}
int ZTP_Initialize(const char *init_text)
{
    return ztp_proto_Initialize(init_text);
}
int ZTP_DeInitialize(void)
{
    return ztp_proto_DeInitialize();
}
int ZTP_NetworkDetect(ztp_net_info *info, uint16_t udp_port)
{
    return ztp_proto_NetworkDetect(info, udp_port);
}
int ZTP_NetworkDetectByServer(ztp_net_info *info, uint16_t udp_port, const char *init_string)
{
    return ztp_proto_NetworkDetectByServer(info, udp_port, init_string);
}
int ZTP_Listen(const char *did, unsigned timeout_s, uint16_t udp_port, uint8_t login_mode)
{
    return ztp_proto_Listen(did, timeout_s, udp_port, login_mode);
}
int ZTP_Listen_Break(void)
{
    return ztp_proto_Listen_Break();
}
int ZTP_Check(int handle, ztp_session_info *info)
{
    return ztp_proto_Check(handle, info);
}
int ZTP_Close(int handle)
{
    return ztp_proto_Close(handle);
}
int ZTP_LoginStatus_Check(uint8_t *logged_in)
{
    return ztp_proto_LoginStatus_Check(logged_in);
}
int ZTP_Share_Bandwidth(uint8_t on)
{
    return ztp_proto_Share_Bandwidth(on);
}
int ZTP_Enable_SmartDevice(uint8_t on)
{
    return ztp_proto_Enable_SmartDevice(on);
}
int ZTP_SetCRCKey(const char *key)
{
    return ztp_proto_SetCRCKey(key);
}
int ZTP_Read(int handle, uint8_t channel, char *buf, int *size, unsigned timeout_ms)
{
    return ztp_proto_Read(handle, channel, buf, size, timeout_ms);
}
int ZTP_Write(int handle, uint8_t channel, const char *data, int len)
{
    return ztp_proto_Write(handle, channel, data, len);
}
int ZTP_Check_Buffer(int handle, uint8_t channel, uint32_t *write_size, uint32_t *read_size)
{
    return ztp_proto_Check_Buffer(handle, channel, write_size, read_size);
}
int ZTP_PktSend(int handle, uint8_t channel, const char *data, int len)
{
    return ztp_proto_PktSend(handle, channel, data, len);
}
int ZTP_PktRecv(int handle, uint8_t channel, char *buf, int *size, unsigned timeout_ms)
{
    return ztp_proto_PktRecv(handle, channel, buf, size, timeout_ms);
}
int ZTP_ForceClose(int handle)
{
    return ztp_proto_ForceClose(handle);
}
const char *ZTP_GetAPIInformation(void)
{
    return ztp_proto_GetAPIInformation();
}
int ZTP_QueryDID(void)
{
    return ztp_proto_QueryDID();
}
int ZTP_Connect(const char *did, uint8_t login_mode, uint16_t udp_port)
{
    return ztp_proto_Connect(did, login_mode, udp_port);
}
int ZTP_ConnectByServer(const char *did, uint8_t login_mode, uint16_t udp_port, const char *init_string)
{
    return ztp_proto_ConnectByServer(did, login_mode, udp_port, init_string);
}
int ZTP_Connect_Break(void)
{
    return ztp_proto_Connect_Break();
}
