// Frame checksums, the reply check and the link's error codes with their texts.
#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "link/dorvik.h"
#include "link/link_internal.h"

extern "C" {

const DORVIK_ERR_MSG_T dorvik_err_msgs[] = {
    {16, "Chybný počáteční znak SD.", "Invalid start delimiter SD."},
    {17, "Chyba parity.", "Parity error."},
    {18, "Chyba opakovaní délky dat LER.", "Error of repeated data length LER."},
    {19, "Chyba opakovaného počátečního znaku.", "Repeated start delimiter error."},
    {20, "Chybná adresa zdroje SA.", "SA source invalid address."},
    {21, "Chyba příznaku směru přenosu v řídicím bytu FC.",
     "Transmission direction flag error in the FC control byte."},
    {23, "Chybná hodnota řídícího bytu FC.", "Invalid value of FC control byte."},
    {24, "Chyba kontrolního součtu FCS.", "Check sum error FCS."},
    {25, "Chybný koncový znak ED.", "Invalid end delimiter ED."},
    {32, "Chybná služba.", "Invalid service."},
    {80, "Podřízená stanice neodpovídá.", "The slave station does not response."},
    {84, "Podřízená stanice odpověděla chybně.", "The slave station responded incorrectly."},
    {258, "Neznámá komunikační služba.", "Unknown communication service."},
    {259, "Komunikační služba není v tomto okamžiku aktivována.",
     "Communication service is not activated at this moment."},
    {260, "Komunikační služba blokovaná heslem.", "Communication service password protected."},
    {265, "Data zatím nedostupná.", "Data not yet accessible."},
    {8716, "Chybné parametry komunikační služby.", "Communication service invalid parameters."},
    {560, "Chyba při zpracování zprávy.", "Error while processing the message."},
    {523, "Chybné parametry komunikační služby READN / READND.",
     "Invalid parameters of communication services READN / READND."},
    {524,
     "V komunikační službě READN / READND se čte tabulka z neexistujícího uživatelského programu.",
     "In the READN / READND communication service, the table is read from a non-existent user "
     "program."},
    {525,
     "V komunikační službě READN / READND se čte neexistující tabulkaz uživatelského programu.",
     "The READN / READND communication service reads a non-existent user program table."},
    {526, "Bloky čtené v komunikační službě READN / READND se nevejdou do zprávy.",
     "Blocks read in the READN / READND communication service do not fit into the message."},
    {527, "Chybná adresa v komunikační službě WRITEN.",
     "Wrong address in WRITTEN communication service."},
    {528, "Nulová délka bloku v komunikační službě WRITEN.",
     "Zero block length in a communication service WRITTEN."},
    {529, "Chybná adresa v komunikační službě READB.",
     "Wrong address in READB communication service."},
    {530, "Chybná adresa v komunikační službě WRITEB.",
     "Wrong address in WRITEB communication service."},
    {531, "Chybné parametry komunikační služby WANDRN / WANDRND v části zápisu.",
     "Invalid parameters of communication services WANDRN / WANDRND in the write section."},
    {532, "Chybné parametry komunikační služby WANDRN / WANDRND v části čtení.",
     "Invalid parameters of communication services WANDRN / WANDRND in the read section."},
    {535, "Neznámá komunikační služba.", "Unknown communications service."},
    {65520, "Rozhraní ETHERNET nelze inicializovat.", "ETHERNET interface can not be initialized."},
    {65521, "Rozhraní SERIAL nelze inicializovat.", "SERIAL interface can not be initialized."},
    {0, "", ""},
};

unsigned char Dorvik_FCS1(const unsigned char* frame) {
  return static_cast<unsigned char>(frame[1] + frame[2] + frame[3]);
}

unsigned char Dorvik_FCS2(const unsigned char* frame) {
  unsigned sum = frame[4] + frame[5] + frame[6];
  int ndata = frame[1] - 3;
  for (int i = 0; i < ndata; i++) sum += frame[7 + i];
  return static_cast<unsigned char>(sum);
}

const char* Dorvik_ErrorText(uint32_t code) {
  const DORVIK_ERR_MSG_T* row = dorvik_err_msgs;
  while (row->code != 0 && row->code != code) row++;
  return row->en;
}

const char* Dorvik_ErrorMSG(DORVIK_T* link) {
  static thread_local char text[300];
  dorvik::FormatCode(text, sizeof text, link->error.load());
  return text;
}

uint32_t Dorvik_FRAMETEST(DORVIK_T* link, const unsigned char* frame, unsigned char sd,
                          unsigned char req_da, unsigned char req_sa, unsigned char fc) {
  // Without a length the frame may be as long as LE allows.
  return dorvik::FrameCheck(link, frame, 261, sd, req_da, req_sa, fc);
}

}  // extern "C"

namespace dorvik {
namespace {

uint32_t ShortFrameCode(const unsigned char* f, unsigned char da, unsigned char sa,
                        unsigned char fc) {
  if (f[0] != 0x10) return DORVIK_ERR_SD;
  if (f[1] != sa || f[2] != da) return DORVIK_ERR_ADDR;
  if (f[3] != fc) {
    switch (f[3]) {
      case 0x02:
        return 258;
      case 0x03:
        return 259;
      case 0x04:
        return 260;
      case 0x09:
        return 265;
      default:
        return DORVIK_ERR_FC;
    }
  }
  if (f[4] != static_cast<unsigned char>(fc + da + sa)) return DORVIK_ERR_FCS;
  if (f[5] != 0x16) return DORVIK_ERR_ED;
  return 0;
}

// The PLC's refusal of a service: FC 0x0C, data "0" and a reason byte.
uint32_t RefusalCode(const unsigned char* f) {
  if (f[7] != 0x30) return DORVIK_ERR_PARAMS;
  unsigned n = f[8];
  if ((n >= 11 && n <= 20) || n == 23) return 0x200 + n;
  return DORVIK_ERR_PROCESSING;
}

uint32_t LongFrameCode(const unsigned char* f, int avail, unsigned char da, unsigned char sa,
                       unsigned char fc) {
  if (f[0] != 0x68) return DORVIK_ERR_SD;
  if (f[2] != f[1]) return DORVIK_ERR_LER;
  if (f[3] != 0x68) return DORVIK_ERR_SD2;
  if (f[4] != sa || f[5] != da) return DORVIK_ERR_ADDR;
  if (f[6] != fc) return f[6] == 0x0C ? RefusalCode(f) : DORVIK_ERR_FC;
  int le = f[1];
  if (le + 6 > avail) return DORVIK_ERR_BADREPLY;  // the frame's end lies past what we hold
  unsigned sum = fc + sa + da;
  for (int i = 0; i < le - 3; i++) sum += f[7 + i];
  if (f[le + 4] != static_cast<unsigned char>(sum)) return DORVIK_ERR_FCS;
  if (f[le + 5] != 0x16) return DORVIK_ERR_ED;
  return 0;
}

}  // namespace

uint32_t FrameCheck(DORVIK_T* link, const unsigned char* frame, int avail, unsigned char sd,
                    unsigned char req_da, unsigned char req_sa, unsigned char fc) {
  link->error = 0;
  uint32_t code;
  if (sd == 0xE5) {
    code = (avail >= 1 && frame[0] == 0xE5) ? 0 : DORVIK_ERR_BADREPLY;
  } else if (sd == 0x10) {
    code = avail >= 6 ? ShortFrameCode(frame, req_da, req_sa, fc) : DORVIK_ERR_BADREPLY;
  } else if (sd == 0x68) {
    code = avail >= 9 ? LongFrameCode(frame, avail, req_da, req_sa, fc) : DORVIK_ERR_BADREPLY;
  } else {
    code = DORVIK_ERR_BADREPLY;
  }
  if (code != 0) Fail(link, "Dorvik_FRAMETEST", code);
  return code;
}

void FormatCode(char* out, size_t size, uint32_t code) {
  // An unknown code renders as the table's end row: code 0, empty text.
  const DORVIK_ERR_MSG_T* row = dorvik_err_msgs;
  while (row->code != 0 && row->code != code) row++;
  snprintf(out, size, "[0x%02x] %s", static_cast<unsigned>(row->code), row->en);
}

void ReportCode(const char* func, uint32_t code) {
  char text[300];
  FormatCode(text, sizeof text, code);
  Error(func, text);
}

void Fail(DORVIK_T* link, const char* func, uint32_t code) {
  link->error = code;
  ReportCode(func, code);
}

}  // namespace dorvik
