#include <iostream>

#include <ukf/Filter.hpp>

int main(int argc, char** argv)
{
  if (argc != 2) {
    std::cerr << "usage: consumer CONFIG.json\n";
    return 2;
  }
  ukf::Filter filter(argv[1]);
  ukf::Measurement z = filter.get_empty_measurement();
  z.sensor_populate("position_fix", ukf::VectorX::Ones(2));
  filter.update(z, 0.0);
  std::cout << "installed ukf works: state " << filter.get_state().get_vector().transpose() << '\n';
  return 0;
}
