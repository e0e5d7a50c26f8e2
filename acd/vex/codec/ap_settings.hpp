// The AP settings block: one field per stored TLV type of a discovery
// response. Text fields have room for their characters plus a terminator;
// numbers are host order; IPv4 fields hold the four address bytes as sent.
#pragma once

#include <cstdint>

struct ap_settings {
	char au1ProductName[20];        // 1
	char au1NTPInfo[10];            // 44
	char au1SystemName[20];         // 2
	char au1Tlv3[20];               // 3
	uint8_t au1Gateway[4];          // 6
	uint8_t au1SubnetMask[4];       // 5
	uint8_t au1IPAddress[4];        // 4
	uint32_t u4Tlv7;                // 7
	uint8_t au1PriDNS[4];           // 41
	uint8_t au1SecDNS[4];           // 42
	uint16_t u2IPMode;              // 10
	uint16_t u2Tlv21;               // 21
	uint16_t u2Tlv12;               // 12
	uint16_t u2Tlv24;               // 24
	uint16_t u2Tlv25;               // 25
	uint16_t u2Tlv26;               // 26
	uint32_t u4Tlv22;               // 22
	uint32_t u4Tlv27;               // 27
	uint32_t u4Tlv28;               // 28
	uint32_t u4Tlv29;               // 29
	char au1Version[15];            // 11
	char au1Tlv8[20];               // 8
	uint8_t u1Enabled24G;           // 100
	uint8_t u1Enabled5G;            // 130
	char au1SSID24G[50];            // 101
	char au1SSID5G[50];             // 131
	char au1WifiBand[15];           // 108
	char au1Key24G[100];            // 102
	char au1Key5G[100];             // 132
	uint8_t u1ChannelSet24G;        // 104
	uint8_t u1ChannelSet5G;         // 134
	uint8_t u1Channel24G;           // 109
	uint8_t u1Channel5G;            // 138
	char au1ChannelWidth24G[15];    // 106
	char au1ChannelWidth5G[15];     // 136
	uint8_t u1Visible24G;           // 107
	uint8_t u1Visible5G;            // 137
	char au1Mode24G[15];            // 105
	char au1Mode5G[15];             // 135
	char au1Tlv110[100];            // 110
	char au1Tlv139[100];            // 139
	uint8_t u1Tlv114;               // 114
	uint8_t u1Tlv143;               // 143
	uint8_t u1Isolation24G;         // 116
	uint8_t u1Isolation5G;          // 145
	uint16_t u2VLANID;              // 43
	uint16_t u2VLANID24G;           // 117
	uint16_t u2VLANID5G;            // 146
	uint8_t u1Tlv115;               // 115
	uint8_t u1Tlv144;               // 144
	char au1Security24G[30];        // 103
	char au1Security5G[30];         // 133
	uint8_t au1RadiusIp24G[4];      // 111
	uint8_t au1RadiusIp5G[4];       // 140
	char au1SharedSecret24G[65];    // 113
	char au1SharedSecret5G[65];     // 142
	uint16_t u2RadiusPort24G;       // 112
	uint16_t u2RadiusPort5G;        // 141
	char au1Tlv162[10];             // 162
	uint8_t u1WifiBandSteer;        // 163
	uint8_t u1WifiRoaming;          // 164
	char au1Tlv161[5];              // 161
	char au1Tlv129[20];             // 129
	char au1BandwidthControl24G[27]; // 118
	char au1BandwidthControl5G[27]; // 147
	char au1RssiScanner24G[10];     // 119
	char au1RssiScanner5G[10];      // 148
	uint8_t u1TransmitPower24G;     // 120
	uint8_t u1TransmitPower5G;      // 149
};
