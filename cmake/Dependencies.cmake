find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS thread filesystem system)
find_package(glog REQUIRED)

# The legacy client library ships neither a CMake package nor a pkg-config file.
find_path(MONGOCLIENT_INCLUDE_DIR mongo/bson/bson.h)
find_library(MONGOCLIENT_LIBRARY mongoclient)
if(MONGOCLIENT_INCLUDE_DIR AND MONGOCLIENT_LIBRARY)
  add_library(mongoclient::mongoclient UNKNOWN IMPORTED)
  set_target_properties(mongoclient::mongoclient PROPERTIES
    IMPORTED_LOCATION ${MONGOCLIENT_LIBRARY}
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${MONGOCLIENT_INCLUDE_DIR}
    INTERFACE_INCLUDE_DIRECTORIES ${MONGOCLIENT_INCLUDE_DIR}
    INTERFACE_LINK_LIBRARIES "Boost::thread;Boost::filesystem;Boost::system")
else()
  message(FATAL_ERROR "libmongoclient-dev is missing (mongo/bson/bson.h, libmongoclient)")
endif()

find_library(CAP_LIBRARY cap)
find_package(GTest REQUIRED)
