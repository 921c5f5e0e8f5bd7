// The server's version text: "Ver 6.2 <build date> <build time>".
#pragma once

const char* KorvaneVersion();
