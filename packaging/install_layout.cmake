# Where `cmake --install` puts each thing, relative to the prefix. The programs find their
# helpers, their package tree and their docs from their own location with these same relative
# paths, so an installed tree works under whatever prefix it was installed with (or moved to),
# whatever prefix was chosen when configuring.
#
# The private folder takes the compiler's multiarch triplet where it has one (Debian and its
# derivatives), under every prefix: /usr/lib/aarch64-linux-gnu/orvella on a phone.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(ORVELLA_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/orvella)
else()
  set(ORVELLA_INSTALL_LIBDIR lib/orvella)
endif()
set(ORVELLA_INSTALL_BINDIR bin)
# The platform library and the package tree: both hold code built for this architecture.
set(ORVELLA_INSTALL_PACKAGEDIR ${ORVELLA_INSTALL_LIBDIR}/package)
set(ORVELLA_INSTALL_HOSTDIR libexec/orvella)
set(ORVELLA_INSTALL_DATADIR share/orvella)
set(ORVELLA_INSTALL_SIM_DOCDIR share/doc/orvella-sim)
set(ORVELLA_INSTALL_PHONED_DOCDIR share/doc/orvella-phoned)
set(ORVELLA_INSTALL_MANDIR share/man)
set(ORVELLA_INSTALL_UNITDIR lib/systemd/user)
# The phone's bus interfaces as introspection XML, where D-Bus tools look for them.
set(ORVELLA_INSTALL_INTERFACEDIR share/dbus-1/interfaces)
