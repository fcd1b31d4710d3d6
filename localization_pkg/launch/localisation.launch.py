"""Starts the localisation node.

    ros2 launch localization_pkg localisation.launch.py
    ros2 launch localization_pkg localisation.launch.py ukf_config:=/path/to/config.json
    ros2 launch localization_pkg localisation.launch.py fusion:=true \\
        imu_topic:=/imu/data vo_topic:=/camera/odom base_link_frame:=base_link \\
        publish_covariance:=true publish_tf:=true fusion_delay:=0.05
    ros2 launch localization_pkg localisation.launch.py fusion:=true base_link_frame:=base_link \\
        wheel_odom_topic:=/wheel/odom imu_topic:=/imu/data imu_orientation:=roll_pitch \\
        message_covariance:=floor

Without arguments the node fuses the wheel encoders with the package's encoder-only
configuration. fusion:=true selects the package's configuration with the IMU and visual-odometry
sensors and subscribes to imu_topic and vo_topic ("imu" and "vo" unless given). Sensor frames
other than base_link_frame are looked up on /tf and /tf_static: a robot's description, or
static_transform_publisher, must publish them.
"""

import os

from ament_index_python.packages import get_package_share_directory
from launch import LaunchDescription
from launch.actions import DeclareLaunchArgument, OpaqueFunction
from launch.substitutions import LaunchConfiguration
from launch_ros.actions import Node

ARGUMENTS = [
    ('ukf_config', '', 'Filter configuration file (JSON); empty: the package\'s own, chosen by '
     'fusion'),
    ('fusion', 'false', 'true: the IMU and visual-odometry configuration and topics'),
    ('imu_topic', '', 'sensor_msgs/Imu topic fused into the sensor "imu" (with fusion: "imu")'),
    ('vo_topic', '', 'nav_msgs/Odometry topic fused into the sensor "vo" (with fusion: "vo")'),
    ('wheel_odom_topic', '', 'nav_msgs/Odometry topic whose twist is fused into the sensor '
     '"encoders"'),
    ('message_covariance', 'use', 'Message covariances: use, ignore, or floor (never below the '
     'configured noise)'),
    ('imu_orientation', 'none', 'Fuse the IMU\'s orientation: none, roll_pitch or all'),
    ('odom_frame', 'odom', 'Header frame of the odometry and the transform'),
    ('base_link_frame', 'odom_base_link', 'Child frame of the odometry and the transform'),
    ('publish_covariance', 'false', 'Publish the filter\'s covariance in the odometry'),
    ('publish_tf', 'false', 'Broadcast odom_frame -> base_link_frame on /tf'),
    ('fusion_delay', '0.0', 'Seconds messages are held to be fused in stamp order'),
    ('max_time_jump', '60.0', 'Stamp jump (s) that restarts the filter'),
    ('strict_config', 'false', 'Refuse a configuration with a key no reader knows'),
    ('use_sim_time', 'false', 'Run on /clock, as when `ros2 bag play --clock` plays a recording'),
]


def flag(context, name):
    value = LaunchConfiguration(name).perform(context).strip().lower()
    if value not in ('true', 'false'):
        raise ValueError(f"launch argument '{name}' must be true or false, got '{value}'")
    return value == 'true'


def number(context, name):
    value = LaunchConfiguration(name).perform(context)
    try:
        return float(value)
    except ValueError:
        raise ValueError(f"launch argument '{name}' must be a number, got '{value}'") from None


def node(context):
    fusion = flag(context, 'fusion')
    config = LaunchConfiguration('ukf_config').perform(context)
    if not config:
        name = 'localisation_fusion_config.json' if fusion else 'localisation_config.json'
        config = os.path.join(get_package_share_directory('localization_pkg'), 'config', name)
    imu_topic = LaunchConfiguration('imu_topic').perform(context) or ('imu' if fusion else '')
    vo_topic = LaunchConfiguration('vo_topic').perform(context) or ('vo' if fusion else '')
    # Typed here, so that the node's parameters get exactly the types it declares.
    return [Node(
        package='localization_pkg',
        executable='localization_node',
        name='localisation_node',
        output='screen',
        parameters=[{
            'ukf_config': config,
            'imu_topic': imu_topic,
            'vo_topic': vo_topic,
            'wheel_odom_topic': LaunchConfiguration('wheel_odom_topic').perform(context),
            'message_covariance': LaunchConfiguration('message_covariance').perform(context),
            'imu_orientation': LaunchConfiguration('imu_orientation').perform(context),
            'odom_frame': LaunchConfiguration('odom_frame').perform(context),
            'base_link_frame': LaunchConfiguration('base_link_frame').perform(context),
            'publish_covariance': flag(context, 'publish_covariance'),
            'publish_tf': flag(context, 'publish_tf'),
            'fusion_delay': number(context, 'fusion_delay'),
            'max_time_jump': number(context, 'max_time_jump'),
            'strict_config': flag(context, 'strict_config'),
            'use_sim_time': flag(context, 'use_sim_time'),
        }],
    )]


def generate_launch_description():
    return LaunchDescription(
        [DeclareLaunchArgument(name, default_value=default, description=description)
         for name, default, description in ARGUMENTS] + [OpaqueFunction(function=node)])
